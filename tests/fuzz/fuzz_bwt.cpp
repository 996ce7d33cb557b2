// Differential fuzz target: the packer's libbzip2 (its own block sorter and
// move-to-front step; its BZ2_ names carry a kvx_ prefix here) against
// Debian's libbzip2.  Every input, at every level, must give the same stream.
//
// The first bytes shape the block, so that small inputs reach each of the
// sorter's paths (sortpaths.h) and the shapes that are hard for it:
//   [0] level 1..9, [1] shape, [2..3] length in 1 KB steps, the rest the seed.
// Shapes: 0 the seed as it is (small); 1 the seed tiled a whole number of
// times (periodic); 2 the same with one byte changed (nearly periodic);
// 3 words drawn from the seed; 4 random bytes (random); 5 sixteen letters
// ending with an earlier stretch of themselves or with the block's own
// beginning (a stretch repeated across the end); 6 sixteen letters with a
// stretch holding a byte of its own twice, as long as the seed chooses; 7 the
// same with a stretch that is itself periodic.  No order of ours may fail
// its check.
#include <bzlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sortpaths.h"

extern "C" int kvx_BZ2_bzBuffToBuffCompress(char* dest, unsigned int* destLen, char* source, unsigned int sourceLen,
                                            int blockSize100k, int verbosity, int workFactor);
extern "C" void kvx_BZ2_sortPathCounts(unsigned long long counts[SortPathCount]);

namespace {

struct Random {
    uint32_t x;
    uint32_t operator()() { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; }
    // Letters from A to P, each unlike the one before: no runs, which
    // libbzip2 would write with a rare count byte.
    std::string Letters(size_t n)
    {
        std::string s(n, 'A');
        for (size_t i = 1; i < n; i++)
            s[i] = (char)('A' + (s[i - 1] - 'A' + 1 + (*this)() % 15) % 16);
        return s;
    }
};

std::string Tiled(const std::string& unit, size_t length)
{
    std::string s;
    while (!unit.empty() && s.size() + unit.size() <= length)
        s += unit;
    return s.empty() ? unit : s;
}

std::string Shape(const uint8_t* data, size_t size, int shape, size_t length)
{
    const std::string seed(reinterpret_cast<const char*>(data), size);
    Random next{2463534242u};
    for (uint8_t c : seed)
        next.x = (next.x ^ c) * 16777619u | 1;
    std::string s;
    switch (shape) {
    case 0:
        return seed;
    case 1:
    case 2:
        s = Tiled(seed, length);
        if (shape == 2 && !s.empty())
            s[next() % s.size()] ^= (char)(1 + next() % 255);
        return s;
    case 3:
        while (!seed.empty() && s.size() < length) {
            const size_t at = next() % seed.size();
            s += seed.substr(at, 1 + next() % 12) + ' ';
        }
        return s;
    case 4:
        for (size_t i = 0; i < length; i++)
            s += (char)next();
        return s;
    case 5: {
        s = next.Letters(length);
        const size_t tail = seed.size() % (length / 2 + 1);
        return s + (seed.size() % 2 ? s.substr(next() % (length - tail + 1), tail) : s.substr(0, tail));
    }
    default: {
        const size_t depth = 1 + seed.size() * 97 % 3000;
        std::string stretch = shape == 6 ? next.Letters(depth) : Tiled("ab", depth);
        stretch += '\xFF';
        return next.Letters(length / 2) + stretch + next.Letters(length / 2) + stretch;
    }
    }
}

std::string Compress(int (*compress)(char*, unsigned int*, char*, unsigned int, int, int, int), std::string& in,
                     int level)
{
    std::string out(in.size() + in.size() / 100 + 601, '\0');
    unsigned int size = (unsigned int)out.size();
    if (compress(&out[0], &size, &in[0], (unsigned int)in.size(), level, 0, 0) != BZ_OK)
        std::abort();
    out.resize(size);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int level = 1 + data[0] % 9, shape = data[1] % 8;
    const size_t length = 1024 * (1 + (data[2] | data[3] << 8) % 600);
    std::string block = Shape(data + 4, size - 4, shape, length);
    unsigned long long before[SortPathCount], after[SortPathCount];
    kvx_BZ2_sortPathCounts(before);
    if (Compress(kvx_BZ2_bzBuffToBuffCompress, block, level) != Compress(BZ2_bzBuffToBuffCompress, block, level)) {
        std::fprintf(stderr, "the streams differ: %zu bytes, shape %d, level %d\n", block.size(), shape, level);
        std::abort();
    }
    kvx_BZ2_sortPathCounts(after);
    if (after[SortCheckFailed] != before[SortCheckFailed]) {
        std::fprintf(stderr, "an order failed its check: %zu bytes, shape %d, level %d\n", block.size(), shape, level);
        std::abort();
    }
    if (std::getenv("FUZZ_BWT_PATHS") != nullptr)  // which paths each input took, to keep a seed for each
        for (int path = 0; path < SortPathCount; path++)
            std::fprintf(stderr, "%llu%c", after[path] - before[path], path + 1 < SortPathCount ? ' ' : '\n');
    return 0;
}
