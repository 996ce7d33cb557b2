// Blocks chosen for size (--smallest).  A window of input that libbzip2
// would make one block of is split where that makes the stream smaller:
// at the point where the kind of data changes most (where the counts of
// its bytes on either side differ most, else in the middle), each half
// split again in the same way, down to pieces of MinPiece.  Each piece is
// compressed with Huffman tables chosen for size, and stays whole unless its
// halves, each as best split, take fewer bits.  The blocks kept are then
// compressed once more, their tables chosen with more effort.  A window
// never takes more bits than the one block libbzip2 would make of it: the
// whole window is among the choices, and its tables are libbzip2's unless
// others are smaller (the other pieces leave libbzip2's choice aside).
#include "bzsplice.h"
#include "messages.h"
#include "tables.h"

namespace pack {
namespace {

const size_t Granule = 4096;      // split points fall on multiples of this
const size_t MinPiece = 4 << 10;  // a piece is split into halves no smaller than this
const int MaxDepth = 10;
// A piece is split only where its two sides, each coded by the counts of its
// own bytes, take this many bits fewer than the whole: a block's header and
// tables take about as many.  (On 12 MB of text, shared objects, a DLL, a
// font and C++ headers, 145 of 476 tries estimated under 1,000 bits and none
// came out smaller; the 317 under 3,000 gained 866 bytes in all, 2 of them.)
const int64_t LeastGain = 2000;
// A window of more input than this (long runs, which compress to almost
// nothing) is not split.
const uint64_t SplitAtMost = 8 << 20;

// x log2 x, the bits x bytes of one kind take among as many others, in
// units of 2^-16 bits (as tables::Log2Fixed).
int64_t XLog2X(uint32_t x)
{
    return x == 0 ? 0 : (int64_t)x * tables::Log2Fixed(x);
}

class Splitter {
public:
    Splitter(const uint8_t* data, size_t size, Compressor& compressor)
        : data_(data), size_(size), compressor_(compressor), cutter_(compressor.level())
    {
        CountGranules();
    }

    bool Run(std::vector<Block>* blocks, const char** problem);

private:
    struct Piece {
        size_t from, to;
        Block block;
    };

    static uint64_t BitsOf(const Block& block) { return block.endBit - 32; }
    bool Compress(size_t from, size_t to, Block* block);
    void CountGranules();
    int64_t OrderZeroBits(size_t from, size_t to) const;
    size_t SplitPoint(size_t from, size_t to) const;
    void Best(size_t from, size_t to, int depth, Block whole, std::vector<Piece>* out);

    const uint8_t* data_;
    size_t size_;
    Compressor& compressor_;
    BlockCutter cutter_;
    std::vector<uint32_t> before_;  // count of each byte before each granule
    const char* problem_ = nullptr;
};

// A piece as one block, unless it would not fit in one (then false, and no
// problem) or compression failed (false, with the problem kept).
bool Splitter::Compress(size_t from, size_t to, Block* block)
{
    cutter_.Reset();
    if (cutter_.Feed(data_ + from, to - from) != to - from)
        return false;
    const char* problem = nullptr;
    if (!compressor_.Compress(data_ + from, to - from, block, &problem)) {
        problem_ = problem_ != nullptr ? problem_ : problem;
        return false;
    }
    return true;
}

void Splitter::CountGranules()
{
    const size_t granules = size_ / Granule;
    before_.assign((granules + 1) * 256, 0);
    for (size_t g = 0; g < granules; g++) {
        uint32_t* next = &before_[(g + 1) * 256];
        std::copy(next - 256, next, next);
        for (size_t i = g * Granule; i < (g + 1) * Granule; i++)
            next[data_[i]]++;
    }
}

// The bits granules [from, to) take coded by the counts of their bytes.
int64_t Splitter::OrderZeroBits(size_t from, size_t to) const
{
    const uint32_t* a = &before_[from * 256];
    const uint32_t* b = &before_[to * 256];
    int64_t bits = XLog2X((uint32_t)((to - from) * Granule));
    for (int c = 0; c < 256; c++)
        bits -= XLog2X(b[c] - a[c]);
    return bits;
}

// Where to split [from, to): the granule boundary in its middle four fifths
// that leaves the two sides coded by their own byte counts in the fewest
// bits, if that gains enough (a 500th and LeastGain); else nowhere (`from`).  (Split in the
// middle, a piece whose kind does not change hardly ever came out smaller:
// 3 times in 115 on shared objects, by 0.06 % at most.)
size_t Splitter::SplitPoint(size_t from, size_t to) const
{
    const size_t first = from / Granule + 1, last = to / Granule;
    if (last < first + 4)
        return from;
    const int64_t whole = OrderZeroBits(first, last);
    int64_t best = whole;
    size_t at = 0;
    const size_t margin = (last - first) / 10;
    for (size_t g = first + margin + 1; g + margin < last; g++) {
        const int64_t bits = OrderZeroBits(first, g) + OrderZeroBits(g, last);
        if (bits < best)
            best = bits, at = g;
    }
    const int64_t gain = whole - best;
    return at != 0 && gain > whole / 500 && gain >= LeastGain << tables::Log2FixedShift ? at * Granule : from;
}

// The pieces [from, to) is best coded as, `whole` being it as one block.
void Splitter::Best(size_t from, size_t to, int depth, Block whole, std::vector<Piece>* out)
{
    Block left, right;
    const size_t middle = depth < MaxDepth && to - from >= 2 * MinPiece ? SplitPoint(from, to) : from;
    if (middle == from || !Compress(from, middle, &left) || !Compress(middle, to, &right)) {
        out->push_back({from, to, std::move(whole)});
        return;
    }
    std::vector<Piece> halves;
    Best(from, middle, depth + 1, std::move(left), &halves);
    Best(middle, to, depth + 1, std::move(right), &halves);
    uint64_t bits = 0;
    for (const Piece& piece : halves)
        bits += BitsOf(piece.block);
    if (bits < BitsOf(whole))
        out->insert(out->end(), std::make_move_iterator(halves.begin()), std::make_move_iterator(halves.end()));
    else
        out->push_back({from, to, std::move(whole)});
}

bool Splitter::Run(std::vector<Block>* blocks, const char** problem)
{
    compressor_.Choose(Tables::SearchWithLibbzip2s);
    Block whole;
    if (!Compress(0, size_, &whole)) {
        *problem = problem_ != nullptr ? problem_ : N_("libbzip2 wrote a stream that is not one block");
        return false;
    }
    compressor_.Choose(Tables::Search);
    std::vector<Piece> pieces;
    Best(0, size_, 0, std::move(whole), &pieces);
    compressor_.Choose(Tables::Finish);
    for (Piece& piece : pieces) {
        Block finished;
        if (Compress(piece.from, piece.to, &finished) && BitsOf(finished) < BitsOf(piece.block))
            piece.block = std::move(finished);
        blocks->push_back(std::move(piece.block));
    }
    compressor_.Choose(Tables::Libbzip2);
    *problem = problem_;
    return problem_ == nullptr;
}

}  // namespace

bool CompressForSize(const Chunk& window, Compressor& compressor, std::vector<Block>* blocks, const char** problem)
{
    if (window.size == 0)
        return true;
    if (window.size > SplitAtMost) {
        compressor.Choose(Tables::Finish);
        Block block;
        const bool ok = compressor.Compress(window, &block, problem);
        compressor.Choose(Tables::Libbzip2);
        if (ok)
            blocks->push_back(std::move(block));
        return ok;
    }
    std::vector<uint8_t> flat;
    const uint8_t* data = window.bytes.data();
    if (!window.runs.empty()) {
        size_t at = 0;
        for (const Chunk::Run& run : window.runs) {
            flat.insert(flat.end(), window.bytes.begin() + at, window.bytes.begin() + run.at);
            flat.insert(flat.end(), run.count, run.byte);
            at = run.at;
        }
        flat.insert(flat.end(), window.bytes.begin() + at, window.bytes.end());
        data = flat.data();
    }
    return Splitter(data, window.size, compressor).Run(blocks, problem);
}

}  // namespace pack
