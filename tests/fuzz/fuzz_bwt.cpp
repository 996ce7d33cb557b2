// Differential fuzz target: the packer's libbzip2 (its own block sorter and
// move-to-front step; its BZ2_ names carry a kvx_ prefix here) against
// Debian's libbzip2.  Every input, at every level, must give the same stream:
// compressed whole by the library, or cut into blocks by the packer's cutter
// and spliced.  With --smallest, the stream must be no larger, Debian's
// libbzip2 and lbzip2 (which refuses codes that leave code space unused)
// must read the input back from it, and every table's code must fill its
// code space.
//
// The first bytes shape the block, so that small inputs reach each of the
// sorter's paths (sortpaths.h) and the shapes that are hard for it:
//   [0] level 1..9, [1] shape (below 8) and mode (from 8 on: 0 the library,
//   1 the cutter, 2 --smallest), [2..3] length in 1 KB steps, the rest the
//   seed.
// Shapes: 0 the seed as it is (small); 1 the seed tiled a whole number of
// times (periodic); 2 the same with one byte changed (nearly periodic);
// 3 words drawn from the seed; 4 random bytes (random); 5 sixteen letters
// ending with an earlier stretch of themselves or with the block's own
// beginning (a stretch repeated across the end); 6 sixteen letters with a
// stretch holding a byte of its own twice, as long as the seed chooses; 7 the
// same with a stretch that is itself periodic.  No order of ours may fail
// its check.  With FUZZ_BWT_EXPECT naming a path, an input that does not
// take it fails (the corpus's path-* seeds are replayed so).
#include <bzlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bzsplice.h"
#include "shape.h"
#include "sortpaths.h"

extern "C" int kvx_BZ2_bzBuffToBuffCompress(char* dest, unsigned int* destLen, char* source, unsigned int sourceLen,
                                            int blockSize100k, int verbosity, int workFactor);
extern "C" void kvx_BZ2_sortPathCounts(unsigned long long counts[SortPathCount]);

namespace {

const char* const PathNames[SortPathCount] = {"small", "random", "periodic", "induced", "check-failed", "no-memory", "given"};

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

// The packer's stream: cut where libbzip2 ends its blocks, each chunk
// compressed on its own (with --smallest, into the blocks that make it
// smallest), the blocks spliced.
std::string Spliced(const std::string& in, int level, bool smallest)
{
    pack::Compressor compressor(level);
    pack::BlockCutter cutter(level);
    std::vector<uint8_t> stream;
    pack::MemorySink memory(&stream);
    pack::StreamSplicer splicer(memory, level);
    for (size_t at = 0; at < in.size();) {
        cutter.Reset();
        const size_t cut = cutter.Feed(reinterpret_cast<const uint8_t*>(in.data()) + at, in.size() - at);
        pack::Chunk chunk;
        chunk.bytes.assign(in.begin() + at, in.begin() + at + cut);
        chunk.size = cut;
        std::vector<pack::Block> blocks(1);
        const char* problem = nullptr;
        if (smallest ? (blocks.clear(), !pack::CompressForSize(chunk, compressor, &blocks, &problem))
                     : !compressor.Compress(chunk, &blocks[0], &problem)) {
            std::fprintf(stderr, "compression failed: %s\n", problem);
            std::abort();
        }
        for (const pack::Block& block : blocks)
            splicer.Add(block);
        at += cut;
    }
    uint64_t bytes;
    splicer.Finish(&bytes);
    return std::string(stream.begin(), stream.end());
}

std::string Decompressed(std::string& stream, size_t size)
{
    std::string out(size + 1, '\0');
    unsigned int length = (unsigned int)out.size();
    if (BZ2_bzBuffToBuffDecompress(&out[0], &length, &stream[0], (unsigned int)stream.size(), 0, 0) != BZ_OK)
        return "?";
    out.resize(length);
    return out;
}

// What lbzip2 on one thread reads from a stream: "?" where it fails.
std::string Lbunzip2(const std::string& stream)
{
    char path[] = "/tmp/fuzz_bwt.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    FILE* file = fdopen(fd, "wb");
    std::fwrite(stream.data(), 1, stream.size(), file);
    std::fclose(file);
    FILE* pipe = popen(("lbzip2 -dc -n1 " + std::string(path) + " 2>/dev/null").c_str(), "r");
    std::string out;
    char buffer[1 << 16];
    for (size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const bool ok = pipe != nullptr && pclose(pipe) == 0;
    std::remove(path);
    return ok ? out : "?";
}

int IncompleteCodes(const std::string& stream)
{
    pack::StreamShape shape;
    shape.Feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    shape.End();
    return shape.incompleteCodes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int level = 1 + data[0] % 9, shape = data[1] % 8, mode = data[1] / 8 % 3;
    // --smallest takes far longer a byte: shorter inputs, to fuzz as many.
    const size_t length = 1024 * (1 + (data[2] | data[3] << 8) % (mode == 2 ? 150 : 600));
    std::string block = Shape(data + 4, size - 4, shape, length);
    unsigned long long before[SortPathCount], after[SortPathCount];
    kvx_BZ2_sortPathCounts(before);
    std::string debian = Compress(BZ2_bzBuffToBuffCompress, block, level);
    if (mode == 2) {
        std::string smallest = Spliced(block, level, true);
        if (smallest.size() > debian.size() || Decompressed(smallest, block.size()) != block ||
            Lbunzip2(smallest) != block || IncompleteCodes(smallest) != 0) {
            std::fprintf(stderr,
                         "--smallest: %zu bytes against %zu, not read back or %d codes incomplete: %zu bytes, "
                         "shape %d, level %d\n",
                         smallest.size(), debian.size(), IncompleteCodes(smallest), block.size(), shape, level);
            std::abort();
        }
    } else if ((mode == 0 ? Compress(kvx_BZ2_bzBuffToBuffCompress, block, level) : Spliced(block, level, false)) !=
               debian) {
        std::fprintf(stderr, "the streams differ: %zu bytes, shape %d, level %d, mode %d\n", block.size(), shape,
                     level, mode);
        std::abort();
    }
    kvx_BZ2_sortPathCounts(after);
    if (after[SortCheckFailed] != before[SortCheckFailed]) {
        std::fprintf(stderr, "an order failed its check: %zu bytes, shape %d, level %d\n", block.size(), shape, level);
        std::abort();
    }
    if (std::getenv("FUZZ_BWT_PATHS") != nullptr)  // which paths each input took, to keep a seed for each
        for (int path = 0; path < SortPathCount; path++)
            std::fprintf(stderr, "%s %llu%c", PathNames[path], after[path] - before[path],
                         path + 1 < SortPathCount ? ' ' : '\n');
    if (const char* expected = std::getenv("FUZZ_BWT_EXPECT")) {
        for (int path = 0; path < SortPathCount; path++)
            if (std::string(expected) == PathNames[path] && after[path] == before[path]) {
                std::fprintf(stderr, "no block took the path %s\n", expected);
                std::abort();
            }
    }
    return 0;
}
