#include "pipeline.h"

#include <algorithm>

namespace pack {
namespace {

const size_t ReadStep = 256 << 10;
// A chunk's bytes are searched for long runs each time this many more are in.
const size_t CompactEvery = 2 << 20;
// A batch of small files ends at this many bytes or files: large enough that
// handing it over costs little, small enough that the cores finish together.
const uint64_t BatchBytes = 512 << 10;
const size_t BatchFiles = 256;
const uint64_t BytesAhead = 32 << 20;  // bytes the workers may hold ahead of the writer
const uint64_t PiecesAhead = 4096;

// Reads a whole small file; false when it cannot be opened or read.  Reads
// one byte more than expected, so that a file that grew is seen.
bool ReadSmallFile(const std::string& path, uint64_t expected, std::vector<uint8_t>* bytes)
{
    FILE* file = OpenFile(path, "rb");
    if (file == nullptr)
        return false;
    bytes->resize((size_t)expected + 1);
    const size_t got = std::fread(bytes->data(), 1, bytes->size(), file);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    bytes->resize(got);
    return ok;
}

}  // namespace

void (*BatchReadAhead)(const std::vector<std::string>& paths) = nullptr;

bool ChunkReader::Open(const std::string& path)
{
    Close();
    file_ = OpenFile(path, "rb");
    carry_.clear();
    eof_ = false;
    total_ = 0;
    return file_ != nullptr;
}

void ChunkReader::Close()
{
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
}

bool ChunkReader::Next(Chunk* chunk)
{
    chunk->Clear();
    std::vector<uint8_t>& bytes = chunk->bytes;
    bytes.swap(carry_);
    carry_.clear();
    cutter_.Reset();
    size_t cut = cutter_.Feed(bytes.data(), bytes.size()), compacted = 0;
    uint64_t inRuns = 0;
    // Up to where libbzip2 would end the block: on runs that is up to 51
    // times the block's size, held as counts.
    while (cut == bytes.size() && !eof_) {
        if (bytes.size() - compacted >= CompactEvery) {
            const size_t before = bytes.size();
            compacted = chunk->Compact(compacted);
            inRuns += before - compacted;
        }
        const size_t old = bytes.size();
        bytes.resize(old + ReadStep);
        const size_t got = std::fread(bytes.data() + old, 1, ReadStep, file_);
        bytes.resize(old + got);
        total_ += got;
        if (got < ReadStep) {
            eof_ = true;
            if (std::ferror(file_))
                return false;
        }
        cut = old + cutter_.Feed(bytes.data() + old, got);
    }
    carry_.assign(bytes.begin() + cut, bytes.end());
    bytes.resize(cut);
    chunk->size = cut + inRuns;
    return true;
}

Pipeline::Pipeline(const std::vector<Job>& jobs, int level, bool smallest, unsigned threads)
    : jobs_(jobs), level_(level), smallest_(smallest), reader_(level)
{
    if (threads <= 1)
        inline_ = std::make_unique<Compressor>(level);
    for (unsigned t = 0; threads > 1 && t < threads; t++)
        workers_.emplace_back([this] { Work(); });
}

Pipeline::~Pipeline()
{
    Stop();
    for (std::thread& worker : workers_)
        worker.join();
}

void Pipeline::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
}

void Pipeline::Work()
{
    Compressor compressor(level_);
    std::vector<uint8_t> buffer;
    for (;;) {
        Piece piece;
        uint64_t sequence;
        {
            std::lock_guard<std::mutex> reading(readMutex_);
            if (!Take(&piece, &sequence))
                return;
        }
        Process(&piece, compressor, buffer);
        std::lock_guard<std::mutex> lock(mutex_);
        done_[sequence] = std::move(piece);
        changed_.notify_all();
    }
}

// Compresses what a piece holds, and lets go of its input.
void Pipeline::Process(Piece* piece, Compressor& compressor, std::vector<uint8_t>& buffer) const
{
    if (piece->batch)
        CompressBatch(piece, compressor, buffer);
    else if (piece->problem.what == nullptr && piece->chunk.size > 0)
        CompressChunk(piece, compressor);
    piece->chunk = {};
}

// One thread: the next piece, taken and compressed here.
bool Pipeline::NextInline(Piece* piece)
{
    uint64_t sequence;
    *piece = Piece();
    if (stop_ || !Take(piece, &sequence))
        return false;
    Process(piece, *inline_, inlineBuffer_);
    ahead_ -= piece->heldBytes;
    written_++;
    return true;
}

// Hands out the next piece in file order once the window has room for it.
// Called with readMutex_ held, so pieces are taken one after the other.
bool Pipeline::Take(Piece* piece, uint64_t* sequence)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
            return stop_ || nextSequence_ == written_ || (ahead_ < BytesAhead && nextSequence_ < written_ + PiecesAhead);
        });
        if (stop_ || readJob_ >= jobs_.size()) {
            allTaken_ = true;
            changed_.notify_all();
            return false;
        }
    }
    Read(piece);
    std::lock_guard<std::mutex> lock(mutex_);
    *sequence = nextSequence_++;
    ahead_ += piece->heldBytes;
    return true;
}

// Takes the next piece from readJob_ on: a batch of small files, the next
// chunk of a large file, or a large stored file, which the writer copies.
void Pipeline::Read(Piece* piece)
{
    const Job& job = jobs_[readJob_];
    piece->job = readJob_;
    if (!readerOpen_ && job.item->size < BlockLimit(level_))
        return ReadBatch(piece);
    if (!job.compress) {
        piece->first = piece->last = true;
        piece->sourceBytes = job.item->size;
        readJob_++;
        return;
    }
    if (!readerOpen_) {
        piece->first = readerOpen_ = true;
        if (!reader_.Open(job.item->source)) {
            piece->problem = {N_("{file}: cannot be read"), {{"file", job.item->source}}};
            piece->last = true;
        }
    }
    if (piece->problem.what == nullptr && !reader_.Next(&piece->chunk)) {
        piece->problem = {N_("{file}: read error"), {{"file", job.item->source}}};
        piece->last = true;
    }
    piece->sourceBytes = piece->chunk.size;
    piece->heldBytes = piece->chunk.bytes.size();
    if (piece->problem.what == nullptr && reader_.AtEnd()) {
        piece->last = true;
        if (reader_.total() != job.item->size)
            piece->problem = {N_("{file}: the file changed while it was packed"), {{"file", job.item->source}}};
    }
    if (piece->last) {
        reader_.Close();
        readerOpen_ = false;
        readJob_++;
    }
}

// Small files from readJob_ on, up to BatchBytes or BatchFiles; the worker
// reads them itself.
void Pipeline::ReadBatch(Piece* piece)
{
    piece->batch = true;
    piece->jobs = 0;
    while (readJob_ < jobs_.size() && jobs_[readJob_].item->size < BlockLimit(level_) &&
           piece->sourceBytes < BatchBytes && piece->jobs < BatchFiles) {
        piece->sourceBytes += jobs_[readJob_].item->size;
        piece->jobs++;
        readJob_++;
    }
    piece->heldBytes = piece->sourceBytes;
}

void Pipeline::CompressChunk(Piece* piece, Compressor& compressor) const
{
    const char* failure = nullptr;
    bool ok;
    if (smallest_) {
        ok = CompressForSize(piece->chunk, compressor, &piece->blocks, &failure);
    } else {
        piece->blocks.resize(1);
        ok = compressor.Compress(piece->chunk, &piece->blocks[0], &failure);
    }
    if (!ok)
        piece->problem = {failure, {}};
}

// A small file's whole stream: one block, or with --smallest the blocks
// that make it smallest, spliced.  A file of fewer bytes than a block holds
// can still fill more than one once runs of four grow to five bytes, so
// --smallest cuts it into windows where libbzip2 would end its blocks, as
// it cuts a large file's chunks.
bool Pipeline::CompressWhole(const std::vector<uint8_t>& file, Compressor& compressor, std::vector<uint8_t>* stream,
                             const char** problem) const
{
    if (!smallest_)
        return compressor.Compress(file.data(), file.size(), stream, problem);
    std::vector<Block> blocks;
    BlockCutter cutter(level_);
    Chunk window;
    for (size_t at = 0; at < file.size(); at += window.bytes.size()) {
        cutter.Reset();
        const size_t cut = cutter.Feed(file.data() + at, file.size() - at);
        window.bytes.assign(file.begin() + at, file.begin() + at + cut);
        window.size = cut;
        if (!CompressForSize(window, compressor, &blocks, problem))
            return false;
    }
    MemorySink memory(stream);
    StreamSplicer splicer(memory, level_);
    for (const Block& block : blocks)
        splicer.Add(block);
    uint64_t bytes;
    return splicer.Finish(&bytes);
}

// Reads and compresses each file of a batch into its own stream; a file whose
// stream is no smaller than the file is stored.  Stops at the first problem.
void Pipeline::CompressBatch(Piece* piece, Compressor& compressor, std::vector<uint8_t>& buffer) const
{
    piece->wholes.resize(piece->jobs);
    if (BatchReadAhead != nullptr) {
        std::vector<std::string> paths;
        for (size_t k = 0; k < piece->jobs; k++)
            paths.push_back(jobs_[piece->job + k].item->source);
        BatchReadAhead(paths);
    }
    for (size_t k = 0; k < piece->jobs; k++) {
        const Job& job = jobs_[piece->job + k];
        Whole& whole = piece->wholes[k];
        const char* failure = nullptr;
        if (!ReadSmallFile(job.item->source, job.item->size, &buffer)) {
            piece->problem = {N_("{file}: cannot be read"), {{"file", job.item->source}}};
        } else if (buffer.size() != job.item->size) {
            piece->problem = {N_("{file}: the file changed while it was packed"), {{"file", job.item->source}}};
        } else if (job.compress && !CompressWhole(buffer, compressor, &whole.data, &failure)) {
            piece->problem = {failure, {}};
        } else if (!job.compress || (!buffer.empty() && whole.data.size() >= buffer.size())) {
            whole.data.assign(buffer.begin(), buffer.end());
        } else {
            whole.method = sfx::Bzip2;
        }
        if (piece->problem.what != nullptr)
            return;
    }
}

bool Pipeline::Next(Piece* piece, std::chrono::milliseconds wait, bool* waiting)
{
    *waiting = false;
    if (inline_ != nullptr)
        return NextInline(piece);
    std::unique_lock<std::mutex> lock(mutex_);
    *waiting = !changed_.wait_for(lock, wait, [&] {
        return stop_ || done_.count(written_) != 0 || (allTaken_ && written_ == nextSequence_);
    });
    auto found = done_.find(written_);
    if (*waiting || stop_ || found == done_.end())
        return false;
    *piece = std::move(found->second);
    done_.erase(found);
    ahead_ -= piece->heldBytes;
    written_++;
    changed_.notify_all();
    return true;
}

}  // namespace pack
