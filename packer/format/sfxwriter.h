// Writer of self-extracting files: the configuration block over a copy of the
// stub, and payload entries appended behind it.  Portable (Linux and Windows);
// names and strings are bytes, already in code page 932.
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace sfx {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t ConfigBlockOffset = 768;
constexpr uint32_t ConfigFieldSize = 256;
constexpr uint32_t ConfigFieldCount = 4;
constexpr uint32_t StubSize = 53248;  // the payload starts here
constexpr uint32_t EntryHeaderSize = 24;
constexpr uint32_t MaxNameLength = 259;

enum Method : uint16_t { ByExtension = 0, Bzip2 = 1, Stored = 2 };

// Extensions of formats that a method-0 entry carries unchanged, capitals with
// their dot, ending with "".  The stub holds the same list.
extern const char* const StoredTypes[];
enum ConfigField : uint32_t { Title = 0, Message = 1, Destination = 2, Launch = 3 };

struct Config {
    std::string title, message, destination, launch;
};

struct Entry {
    std::string dirName;   // relative, backslash-separated, ending in a backslash, or empty
    std::string fileName;  // last component
    Bytes data;            // stored bytes or one bzip2 stream
    uint32_t unpackedSize = 0;
    uint16_t dosDate = 0x21;  // 1980-01-01
    uint16_t dosTime = 0;
    uint16_t attributes = 0x20;
    uint16_t method = Stored;
};

// Deliberate faults, for tests of readers.  Unset fields are written correctly.
struct Damage {
    std::optional<std::array<uint8_t, 4>> tag;
    std::optional<uint32_t> packedSize;      // instead of data.size()
    std::optional<uint16_t> dirNameLength;   // instead of dirName.size()
    std::optional<uint16_t> fileNameLength;  // instead of fileName.size()
    int32_t checksumDelta = 0;               // added to the correct checksum
    bool unsignedChecksum = false;           // sum bytes as unsigned, as a careless builder would
};

// Little-endian fields, as the format and PE headers store them: read, and appended.
inline uint16_t Get16(const uint8_t* b) { return (uint16_t)(b[0] | b[1] << 8); }
inline uint32_t Get32(const uint8_t* b) { return Get16(b) | (uint32_t)Get16(b + 2) << 16; }
inline void Put16(Bytes& b, uint16_t v) { b.push_back((uint8_t)v), b.push_back((uint8_t)(v >> 8)); }
inline void Put32(Bytes& b, uint32_t v) { Put16(b, (uint16_t)v), Put16(b, (uint16_t)(v >> 16)); }

// Sum of bytes taken as signed 8-bit values, modulo 2^32.
uint32_t SignedByteSum(const uint8_t* bytes, size_t count, uint32_t start = 0);

// The 24 header bytes, as stored.
Bytes EncodeHeader(const Entry& entry, const Damage& damage = {});

// Checksum, header and names of an entry whose data (of `packedSize` bytes)
// the caller writes behind them.
Bytes EncodeEntryHead(const Entry& entry, uint32_t packedSize, const Damage& damage = {});

// A whole PayloadEntry: checksum, header, names and data.
Bytes EncodeEntry(const Entry& entry, const Damage& damage = {});

// A stub is usable when it is exactly StubSize bytes, starts like an
// executable and has its configuration area free (all zero).
bool CheckStub(const Bytes& stub, std::string* error);

// Writes one configuration field: up to 256 bytes, the rest of the field zeroed.
bool WriteConfigField(Bytes& file, ConfigField field, const std::string& value, std::string* error);

// Writes all four fields; each string may hold at most 255 bytes.
bool WriteConfigBlock(Bytes& file, const Config& config, std::string* error);

// Stub + configuration + entries, in order.
Bytes BuildArchive(const Bytes& stub, const Config& config, const std::vector<Bytes>& encodedEntries);

// One bzip2 stream holding `data`, as libbzip2 writes it (block size 1..9).
Bytes Bzip2Compress(const Bytes& data, int blockSize100k = 9);

// Where a PE image's headers keep what an Authenticode signer rewrites: the
// checksum and data directory entry 4 (the certificate table), as offsets
// into the file, each field lying whole within the headers read.
struct SignatureFields {
    uint32_t checksumAt = 0, certificateEntryAt = 0;
};

// Finds them in the first `n` bytes of a file; false when these are not a PE
// image's headers.
bool FindSignatureFields(const uint8_t* head, size_t n, SignatureFields* fields);

// Where data directory entry 4 points: a file offset and a size.
struct CertificateDirectory {
    uint32_t offset = 0, size = 0;
};

// Reads that entry from the first `n` bytes of a file (its headers).  False
// when they are not a PE image's headers or the entry is empty (unsigned).
bool FindCertificateDirectory(const uint8_t* head, size_t n, CertificateDirectory* directory);

// Where the stub keeps the image of icon group 102 (one 32 x 32 image in 16
// colours with its mask, IconImageSize bytes): its file offset.  False when
// the resources hold no such image.
constexpr uint32_t IconImageSize = 744;
bool FindIconImage(const Bytes& stub, uint32_t* offset);

bool ReadWholeFile(const std::string& path, Bytes* bytes);
// The same from a file opened to read (null: false), which it closes.
bool ReadWholeFile(FILE* file, Bytes* bytes);
bool WriteWholeFile(const std::string& path, const Bytes& bytes);

}  // namespace sfx
