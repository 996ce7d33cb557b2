// Differential fuzz target: the packer's libbzip2 (its own block sorter and
// move-to-front step; its BZ2_ names carry a kvx_ prefix here) against
// Debian's libbzip2.  Every input, at every level, must give the same stream.
//
// The first bytes shape the block, so that small inputs reach the sorter's
// paths (it leaves blocks under 32 KB to libbzip2's):
//   [0] level 1..9, [1] shape, [2..3] length in 1 KB steps, the rest the seed.
// Shapes: the seed as it is; tiled (periodic); tiled with one byte changed;
// words drawn from the seed; random bytes ending with an earlier stretch of
// themselves (a repeated tail) or with the block's own beginning (the wrap).
#include <bzlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int kvx_BZ2_bzBuffToBuffCompress(char* dest, unsigned int* destLen, char* source, unsigned int sourceLen,
                                            int blockSize100k, int verbosity, int workFactor);

namespace {

std::string Shape(const uint8_t* data, size_t size, int shape, size_t length)
{
    const std::string seed(reinterpret_cast<const char*>(data), size);
    uint32_t x = 2463534242u;
    for (uint8_t c : seed)
        x = (x ^ c) * 16777619u | 1;
    auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
    std::string s;
    switch (shape) {
    case 0:
        return seed;
    case 1:
    case 2:
        while (!seed.empty() && s.size() < length)
            s += seed;
        s.resize(seed.empty() ? 0 : length);
        if (shape == 2 && !s.empty())
            s[next() % s.size()] ^= (char)(1 + next() % 255);
        return s;
    case 3:
        while (!seed.empty() && s.size() < length) {
            const size_t at = next() % seed.size();
            s += seed.substr(at, 1 + next() % 12) + ' ';
        }
        return s;
    default: {
        for (size_t i = 0; i < length; i++)
            s += (char)(next() % (shape == 4 ? 256 : 16));
        const size_t tail = seed.size() % (length / 2 + 1);
        s += shape == 4 ? s.substr(next() % (length - tail + 1), tail) : s.substr(0, tail);
        return s;
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
    const int level = 1 + data[0] % 9, shape = data[1] % 6;
    const size_t length = 1024 * (1 + (data[2] | data[3] << 8) % 600);
    std::string block = Shape(data + 4, size - 4, shape, length) + ' ';
    if (Compress(kvx_BZ2_bzBuffToBuffCompress, block, level) != Compress(BZ2_bzBuffToBuffCompress, block, level)) {
        std::fprintf(stderr, "the streams differ: %zu bytes, shape %d, level %d\n", block.size(), shape, level);
        std::abort();
    }
    return 0;
}
