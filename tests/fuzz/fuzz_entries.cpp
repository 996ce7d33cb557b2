// ReadNextEntry walking a payload of arbitrary bytes, consuming each entry's
// data as the extraction does.
#include "archive/archive.h"
#include "fs/fs.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzRoot() + "/entries.bin";
    WritePayloadFile(path, data, size);
    HANDLE file = OpenFileHandle(path.c_str(), GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        std::abort();
    for (DWORD index = 0; ReadNextEntry(file, index); index++) {
        if (strlen(EntryDirName) >= MAX_PATH || strlen(EntryFileName) >= MAX_PATH)
            std::abort();
        DWORD left = CurrentEntry.Header.PackedSize, got = 1;
        while (left != 0 && got != 0) {
            got = ReadBytes(file, DataBuffer, left < StagingChunk ? left : StagingChunk);
            left -= got;
        }
        if (left != 0)
            break;
    }
    FlushAndClose(file);
    return 0;
}
