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

namespace pack {

// Finds where libbzip2 ends a block, counting the input as it does: runs of
// 4 to 255 equal bytes take 5 bytes of the block, shorter runs their length,
// and a run goes into the block when the byte after it arrives.  Once the
// runs in a block at level k reach k x 100,000 - 19 bytes, the block ends,
// and the byte that completed the last run begins the next block.
class BlockCutter {
public:
    explicit BlockCutter(int level) : limit_(100000u * level - 19) {}
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

// What one compressing thread keeps from one chunk to the next: libbzip2's
// working memory (about 8 MB at -9), so that it is not returned to the system
// and faulted in again for every chunk, and the output buffer.
class Workspace {
public:
    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace();
    static void* Allocate(void* workspace, int items, int size);
    static void Release(void* workspace, void* p);
    std::vector<char> output;

private:
    std::vector<void*> free_;  // blocks libbzip2 gave back, each after its size
};

// Compresses a chunk into blocks at `level`: one block, unless libbzip2
// unexpectedly needs more, in which case the chunk is halved and each half
// compressed again.  Every block is checked before it is returned: the
// stream's header, the block magic, and its trailer found at its end.
// On failure `problem` says what went wrong, as a message template.
bool CompressChunk(const uint8_t* data, size_t n, int level, Workspace& workspace, std::vector<Block>* blocks,
                   const char** problem);

// Locates the block inside a one-block stream; false when the stream is not
// one block at `level`.
bool FindBlock(const std::vector<uint8_t>& stream, int level, Block* block);

// Writes one bzip2 stream to a file from spliced blocks: the header, each
// block's bits with no padding between them, the end-of-stream magic, the
// combined CRC, and zero bits to the next byte.
class StreamSplicer {
public:
    StreamSplicer(FILE* out, int level);
    void Add(const Block& block);
    // Ends the stream; false when a write failed.  `bytes` is its whole size.
    bool Finish(uint64_t* bytes);

private:
    void Put(uint64_t value, int count);  // up to 32 bits
    void Drain(bool all);

    FILE* out_;
    std::vector<uint8_t> buffer_;
    uint64_t bits_ = 0;  // pending bits, the oldest first
    int bitCount_ = 0;
    uint32_t combinedCrc_ = 0;
    uint64_t written_ = 0;
    bool ok_ = true;
};

}  // namespace pack
