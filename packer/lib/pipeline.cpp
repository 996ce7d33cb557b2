#include "pipeline.h"

#include <algorithm>

namespace pack {
namespace {

const size_t ReadStep = 256 << 10;
const uint64_t BytesAhead = 32 << 20;  // source bytes the workers may run ahead of the writer
const uint64_t PiecesAhead = 4096;

}  // namespace

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

bool ChunkReader::Next(std::vector<uint8_t>* chunk)
{
    chunk->swap(carry_);
    carry_.clear();
    cutter_.Reset();
    size_t cut = cutter_.Feed(chunk->data(), chunk->size());
    // Up to where libbzip2 would end the block: on runs that is up to 51
    // times the block's size.
    while (cut == chunk->size() && !eof_) {
        const size_t old = chunk->size(), want = ReadStep;
        chunk->resize(old + want);
        const size_t got = std::fread(chunk->data() + old, 1, want, file_);
        chunk->resize(old + got);
        total_ += got;
        if (got < want) {
            eof_ = true;
            if (std::ferror(file_))
                return false;
        }
        cut = old + cutter_.Feed(chunk->data() + old, got);
    }
    carry_.assign(chunk->begin() + cut, chunk->end());
    chunk->resize(cut);
    return true;
}

Pipeline::Pipeline(const std::vector<Job>& jobs, int level, unsigned threads)
    : jobs_(jobs), level_(level), reader_(level)
{
    for (unsigned t = 0; t < threads; t++)
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
    Workspace workspace;
    for (;;) {
        Piece piece;
        uint64_t sequence;
        {
            std::lock_guard<std::mutex> reading(readMutex_);
            if (!Take(&piece, &sequence))
                return;
        }
        const char* failure = nullptr;
        if (piece.problem.what == nullptr && !piece.chunk.empty() &&
            !CompressChunk(piece.chunk.data(), piece.chunk.size(), level_, workspace, &piece.blocks, &failure))
            piece.problem = {failure, {}};
        piece.chunk = {};
        std::lock_guard<std::mutex> lock(mutex_);
        done_[sequence] = std::move(piece);
        changed_.notify_all();
    }
}

// Hands out the next piece in file order once the window has room for it.
// Called with readMutex_ held, so chunks are cut one after the other.
bool Pipeline::Take(Piece* piece, uint64_t* sequence)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
            return stop_ || nextSequence_ == written_ ||
                   (ahead_ < BytesAhead && nextSequence_ < written_ + PiecesAhead);
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
    ahead_ += piece->sourceBytes;
    return true;
}

// Cuts the next piece of the file at readJob_; a stored file is one piece
// that the writer copies itself.
void Pipeline::Read(Piece* piece)
{
    const Job& job = jobs_[readJob_];
    piece->job = readJob_;
    if (!job.compress) {
        piece->first = piece->last = true;
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
    piece->sourceBytes = piece->chunk.size();
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

bool Pipeline::Next(Piece* piece, std::chrono::milliseconds wait, bool* waiting)
{
    std::unique_lock<std::mutex> lock(mutex_);
    *waiting = !changed_.wait_for(lock, wait, [&] {
        return stop_ || done_.count(written_) != 0 || (allTaken_ && written_ == nextSequence_);
    });
    auto found = done_.find(written_);
    if (*waiting || stop_ || found == done_.end())
        return false;
    *piece = std::move(found->second);
    done_.erase(found);
    ahead_ -= piece->sourceBytes;
    written_++;
    changed_.notify_all();
    return true;
}

}  // namespace pack
