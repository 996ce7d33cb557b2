// Assembles a self-extracting file for the benchmark from ready-made parts:
//   bench_pack STUB OUT (stored|bzip2) FILE NAME [(stored|bzip2) FILE NAME ...]
// A bzip2 part is an existing .bz2 stream (its UnpackedSize is taken from the
// file named by NAME's source without .bz2), a stored part is taken as it is.
#include <cstdio>
#include <string>

#include "sfxwriter.h"

int main(int argc, char** argv)
{
    if (argc < 6 || (argc - 3) % 3 != 0) {
        std::fprintf(stderr, "usage: bench_pack STUB OUT (stored|bzip2) FILE NAME ...\n");
        return 2;
    }
    sfx::Bytes stub;
    if (!sfx::ReadWholeFile(argv[1], &stub))
        return 1;
    std::vector<sfx::Bytes> entries;
    for (int i = 3; i < argc; i += 3) {
        const std::string kind = argv[i], file = argv[i + 1];
        sfx::Entry e;
        e.fileName = argv[i + 2];
        if (!sfx::ReadWholeFile(file, &e.data))
            return 1;
        e.unpackedSize = (uint32_t)e.data.size();
        if (kind == "bzip2") {
            sfx::Bytes original;
            if (!sfx::ReadWholeFile(file.substr(0, file.size() - 4), &original))
                return 1;
            e.unpackedSize = (uint32_t)original.size();
            e.method = sfx::Bzip2;
        }
        entries.push_back(sfx::EncodeEntry(e));
    }
    return sfx::WriteWholeFile(argv[2], sfx::BuildArchive(stub, {}, entries)) ? 0 : 1;
}
