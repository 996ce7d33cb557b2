#include "bzsplice.h"
#include "messages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bzextra.h"
#include "shortruns.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace pack {
namespace {

const size_t FlushSize = 1 << 20;

}  // namespace

uint32_t Bits(const uint8_t* s, size_t n, uint64_t at, int count)
{
    const size_t byte = (size_t)(at >> 3);
    uint64_t window = 0;
    for (size_t i = 0; i < 5; i++)
        window = window << 8 | (byte + i < n ? s[byte + i] : 0);
    return (uint32_t)((window >> (40 - (at & 7) - count)) & ((1ull << count) - 1));
}

// ---- Chunks ----------------------------------------------------------------

void Chunk::Clear()
{
    bytes.clear();
    runs.clear();
    size = 0;
}

size_t Chunk::Compact(size_t from)
{
    size_t to = from;
    for (size_t i = from; i < bytes.size();) {
        size_t end = i + 1;
        while (end < bytes.size() && bytes[end] == bytes[i])
            end++;
        if (end - i > LongRun) {
            runs.push_back({to, end - i, bytes[i]});
        } else {
            std::memmove(&bytes[to], &bytes[i], end - i);
            to += end - i;
        }
        i = end;
    }
    bytes.resize(to);
    return to;
}

// ---- The compressor ---------------------------------------------------------

// Each piece of memory is kept with its size in front of it, 16 bytes to
// keep the alignment.
const size_t SizeField = 16;

Compressor::Compressor(int level) : level_(level)
{
    stream_.bzalloc = Allocate;
    stream_.bzfree = Release;
    stream_.opaque = this;
}

Compressor::~Compressor()
{
    if (ready_)
        BZ2_bzCompressEnd(&stream_);
    for (void* p : free_)
        std::free(p);
}

void* Compressor::Allocate(void* compressor, int items, int size)
{
    auto& free = static_cast<Compressor*>(compressor)->free_;
    const size_t bytes = (size_t)items * (size_t)size;
    for (size_t i = 0; i < free.size(); i++) {
        if (*static_cast<size_t*>(free[i]) == bytes) {
            void* p = free[i];
            free.erase(free.begin() + i);
            return static_cast<char*>(p) + SizeField;
        }
    }
    void* p = std::malloc(SizeField + bytes);
    if (p == nullptr)
        return nullptr;
    *static_cast<size_t*>(p) = bytes;
    return static_cast<char*>(p) + SizeField;
}

void Compressor::Release(void* compressor, void* p)
{
    if (p != nullptr)
        static_cast<Compressor*>(compressor)->free_.push_back(static_cast<char*>(p) - SizeField);
}

// A stream ready for new input, and room for its output: libbzip2's worst
// case is 1 % larger than the input plus 600 bytes.
bool Compressor::Begin(uint64_t inputBytes, const char** problem)
{
    ready_ = ready_ ? BZ2_bzCompressReset(&stream_) == BZ_OK : BZ2_bzCompressInit(&stream_, level_, 0, 0) == BZ_OK;
    if (!ready_ || BZ2_bzCompressTablesForSize(&stream_, (int)tables_) != BZ_OK) {
        *problem = N_("compression failed (out of memory)");
        return false;
    }
    const size_t bound = (size_t)(inputBytes + inputBytes / 100 + 601);
    if (output_.size() < bound)
        output_.resize(bound);
    stream_.next_out = output_.data();
    stream_.avail_out = (unsigned int)output_.size();
    return true;
}

// Takes n more input bytes; the output has room for all of it.
bool Compressor::Feed(const uint8_t* data, uint64_t n)
{
    while (n > 0) {
        const unsigned int step = (unsigned int)std::min<uint64_t>(n, 1u << 30);
        stream_.next_in = (char*)data;
        stream_.avail_in = step;
        if (BZ2_bzCompress(&stream_, BZ_RUN) != BZ_RUN_OK || stream_.avail_in != 0)
            return false;
        data += step;
        n -= step;
    }
    return true;
}

bool Compressor::Finish(std::vector<uint8_t>* stream, const char** problem)
{
    static char nothing;
    stream_.next_in = &nothing;  // libbzip2 moves the pointer on, by nothing
    stream_.avail_in = 0;
    if (BZ2_bzCompress(&stream_, BZ_FINISH) != BZ_STREAM_END) {
        *problem = N_("compression failed (out of memory)");
        return false;
    }
    stream->assign(output_.data(), stream_.next_out);
    return true;
}

bool Compressor::Compress(const uint8_t* data, size_t n, std::vector<uint8_t>* stream, const char** problem)
{
    if (!Begin(n, problem))
        return false;
    if (!Feed(data, n)) {
        *problem = N_("compression failed (out of memory)");
        return false;
    }
    return Finish(stream, problem);
}

bool Compressor::Compress(const Chunk& chunk, Block* block, const char** problem)
{
    // The output of a block is at most its 900,000 bytes and a little more,
    // however many bytes its runs stand for.
    if (!Begin(std::min<uint64_t>(chunk.size, 100000u * level_), problem))
        return false;
    // The bytes of a long run come from a buffer of that byte, as often as
    // it takes.
    std::vector<uint8_t> run;
    bool fed = true;
    size_t at = 0;
    for (const Chunk::Run& r : chunk.runs) {
        fed = fed && Feed(chunk.bytes.data() + at, r.at - at);
        at = r.at;
        run.assign((size_t)std::min<uint64_t>(r.count, 1 << 16), r.byte);
        for (uint64_t left = r.count; fed && left > 0; left -= std::min<uint64_t>(left, run.size()))
            fed = Feed(run.data(), std::min<uint64_t>(left, run.size()));
    }
    fed = fed && Feed(chunk.bytes.data() + at, chunk.bytes.size() - at);
    if (!fed) {
        *problem = N_("compression failed (out of memory)");
        return false;
    }
    return FinishBlock(block, problem);
}

bool Compressor::Compress(const uint8_t* data, size_t n, Block* block, const char** problem)
{
    if (!Begin(n, problem))
        return false;
    if (!Feed(data, n)) {
        *problem = N_("compression failed (out of memory)");
        return false;
    }
    return FinishBlock(block, problem);
}

bool Compressor::FinishBlock(Block* block, const char** problem)
{
    if (!Finish(&block->stream, problem))
        return false;
    if (!FindBlock(block->stream, level_, block)) {
        *problem = N_("libbzip2 wrote a stream that is not one block");
        return false;
    }
    return true;
}

namespace {

// The cutter's state while it takes bytes, in locals of Feed's, which the
// compiler keeps in registers (members it would store at every step).
struct Runs {
    uint32_t inBlock, byte, length;
};

// Takes the eight bytes at `at` where no run reaches four bytes in them and
// the block is not near full: every byte then goes into the block as it is,
// and the runs ended are the bytes taken and the run before them, but for
// the run at the end.  False, taking none, where it cannot.
inline bool TakeShortRuns(Runs& r, const uint8_t* at, uint32_t limit)
{
    if (r.length - 1 >= 3 || r.inBlock + r.length + 8 >= limit)
        return false;
    const uint32_t last = KVX_shortRunsEnd(at, r.byte, r.length);
    if (last == 0)
        return false;
    r.inBlock += r.length + 8 - last;
    r.byte = at[7];
    r.length = last;
    return true;
}

// Takes the eight bytes at `at` where they go on a run of four bytes or
// more without passing the longest run libbzip2 counts: the run adds to the
// block once ended.  False, taking none, where it cannot.
inline bool TakeLongRun(Runs& r, const uint8_t* at)
{
    if (r.length < 4 || r.length + 8 > 255 || KVX_loadLittle64(at) != 0x0101010101010101ull * r.byte)
        return false;
    r.length += 8;
    return true;
}

// Takes one byte, c; false where the run it ends fills the block: c is
// still pending then and begins the next block, as in libbzip2.
inline bool TakeByte(Runs& r, uint32_t c, uint32_t limit)
{
    if (c == r.byte && r.length < 255) {
        r.length++;
        return true;
    }
    if (r.byte < 256 && (r.inBlock += r.length < 4 ? r.length : 5) >= limit)
        return false;
    r.byte = c;
    r.length = 1;
    return true;
}

}  // namespace

size_t BlockCutter::Feed(const uint8_t* data, size_t n)
{
    Runs r = {inBlock_, runByte_, runLength_};
    size_t i = 0;
    for (;; i++) {
        while (i + 8 <= n && (TakeShortRuns(r, data + i, limit_) || TakeLongRun(r, data + i)))
            i += 8;
        if (i == n || !TakeByte(r, data[i], limit_))
            break;
    }
    inBlock_ = r.inBlock, runByte_ = r.byte, runLength_ = r.length;
    return i;
}

bool FindBlock(const std::vector<uint8_t>& stream, int level, Block* block)
{
    const uint8_t* s = stream.data();
    const size_t n = stream.size();
    if (n < 24 || s[0] != 'B' || s[1] != 'Z' || s[2] != 'h' || s[3] != '0' + level ||
        Bits(s, n, 32, 24) != BlockMagicHigh || Bits(s, n, 56, 24) != BlockMagicLow)
        return false;
    const uint32_t crc = Bits(s, n, 80, 32);
    // The trailer (end magic, then a combined CRC equal to the block's) ends
    // 0 to 7 zero bits before the end; the magic has no period below 8, so at
    // most one position matches.
    for (int pad = 0; pad < 8; pad++) {
        const uint64_t end = (uint64_t)n * 8 - pad - 80;
        if (Bits(s, n, end, 24) == EndMagicHigh && Bits(s, n, end + 24, 24) == EndMagicLow &&
            Bits(s, n, end + 48, 32) == crc && (pad == 0 || Bits(s, n, end + 80, pad) == 0)) {
            block->endBit = end;
            block->crc = crc;
            return true;
        }
    }
    return false;
}

// ---- Sinks ------------------------------------------------------------------

bool FileSink::Write(const void* data, size_t n)
{
    return std::fwrite(data, 1, n, file_) == n;
}

bool FileSink::Seek(uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file_, (long long)offset, SEEK_SET) == 0;
#else
    return fseeko(file_, (off_t)offset, SEEK_SET) == 0;
#endif
}

bool FileSink::Truncate(uint64_t size)
{
    if (std::fflush(file_) != 0)
        return false;
#ifdef _WIN32
    return _chsize_s(_fileno(file_), (long long)size) == 0;
#else
    return ftruncate(fileno(file_), (off_t)size) == 0;
#endif
}

bool MemorySink::Write(const void* data, size_t n)
{
    if (memory_->size() < at_ + n)
        memory_->resize(at_ + n);
    std::memcpy(memory_->data() + at_, data, n);
    at_ += n;
    return true;
}

bool MemorySink::Seek(uint64_t offset)
{
    at_ = (size_t)offset;
    return true;
}

bool MemorySink::Truncate(uint64_t size)
{
    memory_->resize((size_t)size);
    return true;
}

// ---- Splicing ---------------------------------------------------------------

StreamSplicer::StreamSplicer(Sink& out, int level) : out_(out)
{
    buffer_.reserve(FlushSize + 64);
    Put('B', 8), Put('Z', 8), Put('h', 8), Put('0' + level, 8);
}

void StreamSplicer::Put(uint64_t value, int count)
{
    bits_ = bits_ << count | value;
    bitCount_ += count;
    while (bitCount_ >= 8) {
        bitCount_ -= 8;
        buffer_.push_back((uint8_t)(bits_ >> bitCount_));
    }
    bits_ &= (1u << bitCount_) - 1;
}

void StreamSplicer::Drain(bool all)
{
    if (buffer_.size() < FlushSize && !(all && !buffer_.empty()))
        return;
    ok_ = ok_ && out_.Write(buffer_.data(), buffer_.size());
    written_ += buffer_.size();
    buffer_.clear();
}

void StreamSplicer::Add(const Block& block)
{
    const uint8_t* s = block.stream.data();
    const size_t n = block.stream.size();
    for (uint64_t at = 32; at < block.endBit;) {
        const int count = (int)std::min<uint64_t>(32, block.endBit - at);
        Put(Bits(s, n, at, count), count);
        at += count;
        Drain(false);
    }
    combinedCrc_ = (combinedCrc_ << 1 | combinedCrc_ >> 31) ^ block.crc;
}

bool StreamSplicer::Finish(uint64_t* bytes)
{
    Put(EndMagicHigh, 24), Put(EndMagicLow, 24), Put(combinedCrc_, 32);
    if (bitCount_ > 0)
        Put(0, 8 - bitCount_);
    Drain(true);
    *bytes = written_;
    return ok_;
}

}  // namespace pack
