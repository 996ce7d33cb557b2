// The block sorters on their own, per kind of data: each file is cut into
// blocks of 900,000 bytes (as at -9, the run-length coding aside), and each
// block is sorted by libdivsufsort alone (the suffix array of the block as it
// stands: the anchor), by the packer's induced sorting alone (the rotations),
// by the packer's whole sorter (BZ2_blockSort: routing, sort and check) and
// by libbzip2's own (BZ2_blockSortStock).  The sorters take turns block by
// block, so that a machine whose load changes slows them alike.  Prints MB/s
// of each, the packer's two against libdivsufsort, the paths the packer's
// sorter took, and how the levels below the blocks were ordered.
//   bench_sort FILE...
#include <divsufsort.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <bzlib.h>

extern "C" {
#include "bzlib_private.h"
#include "induced.h"
#include "sortpaths.h"
void BZ2_blockSortStock(EState* s);
}

namespace {

const char* const PathNames[SortPathCount] = {"small", "random", "periodic", "induced", "check failed", "no memory"};
const char* const LevelNames[KVX_LEVEL_PATHS] = {"names distinct", "doubled", "doubling given up", "16-bit names",
                                                 "32-bit names"};

std::vector<unsigned char> ReadFile(const char* path)
{
    std::vector<unsigned char> bytes;
    FILE* f = std::fopen(path, "rb");
    unsigned char chunk[1 << 16];
    for (size_t n; f != nullptr && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    if (f != nullptr)
        std::fclose(f);
    return bytes;
}

// Seconds each sorter takes over every block, taking turns on each block,
// which is copied into the state's own block buffer first (not timed).
std::vector<double> Time(EState* s, const std::vector<unsigned char>& data,
                         const std::vector<std::function<void(EState*)>>& sorters)
{
    std::vector<double> seconds(sorters.size());
    for (size_t at = 0; at < data.size(); at += 900000) {
        for (size_t k = 0; k < sorters.size(); k++) {
            s->nblock = (Int32)std::min<size_t>(900000, data.size() - at);
            std::memcpy(s->block, data.data() + at, (size_t)s->nblock);
            const auto start = std::chrono::steady_clock::now();
            sorters[k](s);
            seconds[k] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    // As the packer does: the sorter's few megabytes a block stay in the heap.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    bz_stream stream = {};
    if (argc < 2 || BZ2_bzCompressInit(&stream, 9, 0, 0) != BZ_OK) {
        std::fprintf(stderr, "usage: bench_sort FILE...\n");
        return 2;
    }
    EState* s = (EState*)stream.state;
    std::vector<saidx_t> suffixes(900000);
    std::vector<unsigned> order(900000), work(KVX_INDUCED_WORK(900000));
    for (int i = 1; i < argc; i++) {
        const std::vector<unsigned char> data = ReadFile(argv[i]);
        unsigned long long before[SortPathCount], after[SortPathCount], levelsBefore[KVX_LEVEL_PATHS],
            levelsAfter[KVX_LEVEL_PATHS];
        BZ2_sortPathCounts(before);
        KVX_inducedLevelCounts(levelsBefore);
        const std::vector<double> seconds =
            Time(s, data,
                 {BZ2_blockSort, BZ2_blockSortStock,
                  [&](EState* e) { divsufsort(e->block, suffixes.data(), e->nblock); },
                  [&](EState* e) {
                      int count[256] = {};
                      for (int k = 0; k < e->nblock; k++)
                          count[e->block[k]]++;
                      KVX_sortRotationsInduced(e->block, count, order.data(), e->nblock, work.data());
                  }});
        const double ours = seconds[0], stock = seconds[1], alone = seconds[2], induced = seconds[3];
        BZ2_sortPathCounts(after);
        KVX_inducedLevelCounts(levelsAfter);
        const double mb = data.size() / 1e6;
        std::printf("%s: %.0f MB in blocks of 900,000 bytes\n", argv[i], mb);
        std::printf("  libdivsufsort alone  %6.1f MB/s\n  induced sorting alone %5.1f MB/s   %.2f x libdivsufsort\n"
                    "  the packer's sorter  %6.1f MB/s   %.2f x libdivsufsort\n  libbzip2's sorter    %6.1f MB/s\n",
                    mb / alone, mb / induced, alone / induced, mb / ours, alone / ours, mb / stock);
        std::printf("  paths:");
        for (int p = 0; p < SortPathCount; p++)
            if (after[p] != before[p])
                std::printf(" %s %llu", PathNames[p], after[p] - before[p]);
        std::printf("\n  levels below the blocks (both induced sorts):");
        for (int p = 0; p < KVX_LEVEL_PATHS; p++)
            std::printf(" %s %llu", LevelNames[p], levelsAfter[p] - levelsBefore[p]);
        std::printf("\n");
    }
    BZ2_bzCompressEnd(&stream);
    return 0;
}
