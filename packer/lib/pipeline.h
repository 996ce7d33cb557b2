// The packer's compression pipeline.  The files are taken in order: small
// ones (fewer bytes than a block holds) in batches, each file compressed
// whole into its own stream; large ones cut into block-sized chunks, each
// compressed into one block (with --smallest, into the blocks that make it
// smallest).  Batches and chunks are tasks of one pool on every core, and
// the writer takes the results back in file order.  Workers run ahead of the
// writer by a bounded number of bytes, so memory stays bounded whatever the
// input.
#pragma once
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bzsplice.h"
#include "pack.h"

namespace pack {

// One file to carry, as it will be written: its entry and whether its data is
// compressed or stored.
struct Job {
    const Item* item = nullptr;
    sfx::Entry entry;  // names in code page 932, sizes, time, method; no data
    bool compress = false;
};

// A small file's data as it will be written: its stream, or its bytes when
// it is stored.
struct Whole {
    std::vector<uint8_t> data;
    uint16_t method = sfx::Stored;
};

// The unit of work, in file order: a batch of small files, one chunk of a
// large file (the first, the last or one between), or a large stored file,
// which the writer copies itself.
struct Piece {
    size_t job = 0;    // the first job of the piece
    size_t jobs = 1;   // a batch: jobs [job, job + jobs)
    bool batch = false;
    bool first = false, last = false;  // a large file's chunks
    uint64_t sourceBytes = 0;          // the input bytes it stands for
    uint64_t heldBytes = 0;            // the memory it holds until it is written
    Chunk chunk;                       // until it is compressed
    std::vector<Block> blocks;         // its block, or with --smallest the blocks it was split into
    std::vector<Whole> wholes;         // a batch's files, in order
    Problem problem{nullptr, {}};      // what went wrong, if anything
};

// Reads one file in chunks that each make one bzip2 block at the level.
class ChunkReader {
public:
    explicit ChunkReader(int level) : cutter_(level) {}
    ~ChunkReader() { Close(); }
    bool Open(const std::string& path);
    void Close();
    // The next chunk; false on a read error.
    bool Next(Chunk* chunk);
    bool AtEnd() const { return eof_ && carry_.empty(); }
    uint64_t total() const { return total_; }

private:
    FILE* file_ = nullptr;
    BlockCutter cutter_;
    std::vector<uint8_t> carry_;  // read past the last cut
    bool eof_ = false;
    uint64_t total_ = 0;
};

// When set, told the files a batch of small files is about to read, in
// order, before it reads them.  A browser's page sets it: each read there is
// a round trip to the browser, so it reads the whole batch in one.
extern void (*BatchReadAhead)(const std::vector<std::string>& paths);

class Pipeline {
public:
    // With one thread, the caller's thread does the work as it asks for
    // each piece (where there are no threads at all, as in a browser's page).
    Pipeline(const std::vector<Job>& jobs, int level, bool smallest, unsigned threads);
    ~Pipeline();
    // The next piece in file order.  False when there are no more, after Stop,
    // or when none came within `wait` (then *waiting is true).
    bool Next(Piece* piece, std::chrono::milliseconds wait, bool* waiting);
    // Ends the workers' run early; they finish the piece in hand.
    void Stop();

private:
    void Work();
    void Process(Piece* piece, Compressor& compressor, std::vector<uint8_t>& buffer) const;
    bool NextInline(Piece* piece);
    bool Take(Piece* piece, uint64_t* sequence);
    void Read(Piece* piece);
    void ReadBatch(Piece* piece);
    void CompressChunk(Piece* piece, Compressor& compressor) const;
    void CompressBatch(Piece* piece, Compressor& compressor, std::vector<uint8_t>& buffer) const;
    bool CompressWhole(const std::vector<uint8_t>& file, Compressor& compressor, std::vector<uint8_t>* stream,
                       const char** problem) const;

    const std::vector<Job>& jobs_;
    const int level_;
    const bool smallest_;
    std::vector<std::thread> workers_;
    std::unique_ptr<Compressor> inline_;  // one thread: the caller's
    std::vector<uint8_t> inlineBuffer_;

    // The reading side: one worker at a time takes the next piece.
    std::mutex readMutex_;
    size_t readJob_ = 0;
    ChunkReader reader_;
    bool readerOpen_ = false;

    // Shared with the writer.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, Piece> done_;
    uint64_t nextSequence_ = 0, written_ = 0;
    uint64_t ahead_ = 0;  // bytes held by pieces taken but not yet written
    bool allTaken_ = false, stop_ = false;
};

}  // namespace pack
