// Archive format and extraction: the layout of the self-extracting file, the
// payload entry reader, the extraction loop, the stored-type list and the
// bzip2 decoding of one entry.
#pragma once
#include <windows.h>

// The self-extracting file: our stub, a configuration block inside its header
// area, and payload entries appended behind it.
enum : DWORD {
    ConfigBlockOffset = 768,
    ConfigFieldSize = 256,
    PayloadOffset = 53248,
    StagingChunk = 512000,
    DecompressChunk = 16384,
};

// The fixed header of a payload entry, as stored (little-endian, 24 bytes).
struct EntryHeader {
    BYTE Tag[4];  // "BZ2" and a NUL byte
    DWORD PackedSize;
    DWORD UnpackedSize;
    WORD DosDate;
    WORD DosTime;
    WORD Attributes;
    WORD Method;
    WORD DirNameLength;
    WORD FileNameLength;
};
static_assert(sizeof(EntryHeader) == 24, "EntryHeader is stored as 24 bytes");

enum : WORD {
    MethodByExtension = 0,
    MethodStored = 2,
};

// The entry last read by ReadNextEntry; its names are in EntryDirName and
// EntryFileName.
struct CurrentEntryRecord {
    DWORD Checksum;
    EntryHeader Header;
};
extern CurrentEntryRecord CurrentEntry;

int ReadConfigBlock();
int ReadNextEntry(HANDLE source, DWORD index);
int VerifyEntryChecksum(DWORD stored);

// Extraction of the whole payload into DestinationDir; 1 when every entry
// reached was extracted.
int ExtractAll();

// True when the path's extension names a format that is carried unchanged.
extern const char* const StoredTypeList[];
int IsStoredType(const char* path);

// Decodes the bzip2 stream in the staging file into a new destination file,
// moving the progress bar per chunk written.
int DecompressToFile(const char* stagingPath, const char* targetPath);
void* OpenCompressedFile(const char* path);
int ReadDecompressed(void* buffer, int count);
void CloseCompressedFile();
