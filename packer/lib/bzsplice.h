// One bzip2 stream compressed on many cores: a file is cut into chunks that
// each fill one bzip2 block, every chunk is compressed on its own into a
// one-block stream, and the blocks are spliced bit by bit into one stream.
// The stub reads only the first stream of an entry, so a file must never be
// carried as several streams one after the other.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <bzlib.h>

namespace pack {

// The 48-bit magics of a block and of the end of a stream, in halves.
const uint32_t BlockMagicHigh = 0x314159, BlockMagicLow = 0x265359;
const uint32_t EndMagicHigh = 0x177245, EndMagicLow = 0x385090;

// `count` (1..32) bits of the n bytes at `s` from bit `at`, the first bit the
// most significant; bits past the end read as zeros.
uint32_t Bits(const uint8_t* s, size_t n, uint64_t at, int count);

// Finds where libbzip2 ends a block, counting the input as it does: runs of
// 4 to 255 equal bytes take 5 bytes of the block, shorter runs their length,
// and a run goes into the block when the byte after it arrives.  Once the
// runs in a block at level k reach k x 100,000 - 19 bytes, the block ends,
// and the byte that completed the last run begins the next block.
inline uint32_t BlockLimit(int level)
{
    return 100000u * level - 19;
}

class BlockCutter {
public:
    explicit BlockCutter(int level) : limit_(BlockLimit(level)) {}
    // Takes bytes until the block is full; returns how many it took (n when
    // the block is not full yet; the bytes taken then end the input's last block).
    size_t Feed(const uint8_t* data, size_t n);
    void Reset() { inBlock_ = 0, runByte_ = 256, runLength_ = 0; }

private:
    uint32_t limit_;
    uint32_t inBlock_ = 0;
    uint32_t runByte_ = 256, runLength_ = 0;
};

// One compressed block, as the bits of the one-block stream that holds it.
struct Block {
    std::vector<uint8_t> stream;  // the whole one-block stream
    uint64_t endBit = 0;          // the block is bits 32 .. endBit of it
    uint32_t crc = 0;             // the block's CRC
};

// The input of one block, as the cutter cut it from a file: its bytes, with
// runs of one byte longer than LongRun held as counts, so that a block of
// runs (up to 51 times the block's size in input) takes little memory.
struct Chunk {
    static const size_t LongRun = 4096;
    struct Run {
        size_t at;       // the run comes before bytes[at]
        uint64_t count;
        uint8_t byte;
    };
    std::vector<uint8_t> bytes;
    std::vector<Run> runs;  // in order of `at`
    uint64_t size = 0;      // the input bytes it stands for

    void Clear();
    // Holds the long runs of bytes[from..] as counts; returns the new size
    // of `bytes`.  `size` is not changed.
    size_t Compact(size_t from);
};

// One compressing thread's libbzip2 stream and memory (about 8 MB at -9),
// kept from one piece of work to the next, so that neither is set up, or
// faulted in, again for every file or block.
// How a block's Huffman tables are chosen: as libbzip2 chooses them, or for
// size (--smallest): quickly while searching, leaving libbzip2's choice aside
// or keeping it where it is smaller, or with more effort, keeping it too.
enum class Tables { Libbzip2 = 0, Search = 1, SearchWithLibbzip2s = 2, Finish = 3 };

class Compressor {
public:
    explicit Compressor(int level);
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    ~Compressor();
    // A block of a file: the chunk must make exactly one block, as the
    // cutter's chunks do.  On failure `problem` says why, as a template.
    bool Compress(const Chunk& chunk, Block* block, const char** problem);
    // Bytes that make one block, as that block.
    bool Compress(const uint8_t* data, size_t n, Block* block, const char** problem);
    // A whole file of fewer bytes than a block holds, as one stream.
    bool Compress(const uint8_t* data, size_t n, std::vector<uint8_t>* stream, const char** problem);
    // For what follows.
    void Choose(Tables tables) { tables_ = tables; }
    int level() const { return level_; }

    static void* Allocate(void* compressor, int items, int size);
    static void Release(void* compressor, void* p);

private:
    bool Begin(uint64_t inputBytes, const char** problem);
    bool Feed(const uint8_t* data, uint64_t n);
    bool Finish(std::vector<uint8_t>* stream, const char** problem);
    bool FinishBlock(Block* block, const char** problem);

    const int level_;
    Tables tables_ = Tables::Libbzip2;
    bz_stream stream_{};
    bool ready_ = false;
    std::vector<char> output_;
    std::vector<void*> free_;  // memory libbzip2 gave back, each after its size
};

// Compresses a window of input that libbzip2 would make one block of for
// size (--smallest): split into the blocks that make it smallest, each with
// Huffman tables chosen for size; never more bits than that one block.
bool CompressForSize(const Chunk& window, Compressor& compressor, std::vector<Block>* blocks, const char** problem);
// For tests: the bits --smallest's search estimates bytes that make one
// block take, from their sorted order, and the bits of the block compressed
// with the search's tables; the two are equal.  False when compression
// failed.
bool EstimateForSize(const uint8_t* data, size_t size, Compressor& compressor, uint64_t* estimated, uint64_t* compressed);

// Locates the block inside a one-block stream; false when the stream is not
// one block at `level`.
bool FindBlock(const std::vector<uint8_t>& stream, int level, Block* block);

// Where bytes go: a file, memory, or the page that packs in a browser.  They
// are written in order, with a seek back now and then into the entry being
// written (to write its size once it is known) and a cut at the end.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool Write(const void* data, size_t n) = 0;
    virtual bool Seek(uint64_t offset) = 0;
    virtual bool Truncate(uint64_t size) = 0;
    // Nothing before `offset` is written again: the entries before it are complete.
    virtual void Settled(uint64_t) {}
};

class FileSink : public Sink {
public:
    explicit FileSink(FILE* file) : file_(file) {}
    bool Write(const void* data, size_t n) override;
    bool Seek(uint64_t offset) override;
    bool Truncate(uint64_t size) override;

private:
    FILE* file_;
};

class MemorySink : public Sink {
public:
    explicit MemorySink(std::vector<uint8_t>* memory) : memory_(memory) { memory_->clear(); }
    bool Write(const void* data, size_t n) override;
    bool Seek(uint64_t offset) override;
    bool Truncate(uint64_t size) override;

private:
    std::vector<uint8_t>* memory_;
    size_t at_ = 0;
};

// Writes one bzip2 stream from spliced blocks: the header, each block's bits
// with no padding between them, the end-of-stream magic, the combined CRC,
// and zero bits to the next byte.
class StreamSplicer {
public:
    StreamSplicer(Sink& out, int level);
    void Add(const Block& block);
    // Ends the stream; false when a write failed.  `bytes` is its whole size.
    bool Finish(uint64_t* bytes);

private:
    void Put(uint64_t value, int count);  // up to 32 bits
    void Drain(bool all);

    Sink& out_;
    std::vector<uint8_t> buffer_;
    uint64_t bits_ = 0;  // pending bits, the oldest first
    int bitCount_ = 0;
    uint32_t combinedCrc_ = 0;
    uint64_t written_ = 0;
    bool ok_ = true;
};

}  // namespace pack
