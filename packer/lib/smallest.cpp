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
#include "induced.h"
#include "mtf.h"
#include "sortpaths.h"
#include "tables.h"

#include <algorithm>
#include <cstring>

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
// Halves estimated at no more than this fraction above the whole are
// estimated again from their own order.
const uint64_t CloseCall = 100;
// Below the first levels, a piece whose halves are estimated at more than
// this fraction above it is not split further.  (In 12,033 pieces of 60 DLLs,
// the 3,330 so estimated at depth 4 or more gained 643 bytes in all, split
// further; higher up, where a split point in the wrong place is common, 15
// of 907 gained 39 KB, and on shared objects one at depth 3 made a split
// above it pay.)
const uint64_t Hopeless = 50;
const int HopelessFrom = 4;

// x log2 x, the bits x bytes of one kind take among as many others, in
// units of 2^-16 bits (as tables::Log2Fixed).  Split points cost it for
// every byte at every granule: the small counts, most of them, come from a
// table.
int64_t XLog2X(uint32_t x)
{
    static const std::vector<uint32_t> small = [] {
        std::vector<uint32_t> table(16384);
        for (uint32_t v = 1; v < table.size(); v++)
            table[v] = tables::Log2Fixed(v);
        return table;
    }();
    return (int64_t)x * (x < small.size() ? small[x] : tables::Log2Fixed(x));
}

class Splitter {
public:
    Splitter(const uint8_t* data, size_t size, Compressor& compressor)
        : data_(data), size_(size), compressor_(compressor), cutter_(compressor.level())
    {
        CountGranules();
    }

    bool Run(std::vector<Block>* blocks, const char** problem);
    bool EstimateWhole(uint64_t* estimated, uint64_t* compressed);

private:
    using Order = std::vector<uint32_t>;
    struct Piece {
        size_t from, to;
        uint64_t bits;  // estimated, as the search chose
        Order order;    // of its rotations, where known (else empty)
    };

    static uint64_t BitsOf(const Block& block) { return block.endBit - 32; }
    bool Compress(size_t from, size_t to, Block* block);
    bool CompressGiven(const Piece& piece, Block* block);
    void CountGranules();
    int64_t OrderZeroBits(size_t from, size_t to) const;
    size_t SplitPoint(size_t from, size_t to) const;
    static void KeepSorted(void* splitter, const unsigned char* block, const unsigned* order, int n);
    bool CompressKeepingOrder(Block* whole);
    bool MapGranules();
    uint32_t BlockAt(size_t at) const { return at == size_ ? (uint32_t)block_.size() : at_[at / Granule]; }
    uint64_t Estimate(uint32_t from, uint32_t to, const Order& order);
    bool InOrder(uint32_t from, uint32_t to, const Order& order) const;
    bool Sort(uint32_t from, uint32_t to, Order* order);
    void Best(size_t from, size_t to, int depth, uint64_t whole, Order order, bool known, std::vector<Piece>* out);
    bool Finish(const std::vector<Piece>& pieces, Block whole, std::vector<Block>* blocks);

    const uint8_t* data_;
    size_t size_;
    Compressor& compressor_;
    BlockCutter cutter_;
    std::vector<uint32_t> before_;  // count of each byte before each granule
    std::vector<uint8_t> block_;    // the window as libbzip2 sorts it, after its run-length coding
    Order order_;                   // the order of block_'s rotations
    std::vector<uint32_t> at_;      // where each granule's first byte falls in block_
    std::vector<uint8_t> last_;  // a piece's last column, by rank among the bytes in use
    std::vector<uint16_t> mtfv_;
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

// The sorter hands over the window's block and its order.
void Splitter::KeepSorted(void* splitter, const unsigned char* block, const unsigned* order, int n)
{
    Splitter* self = static_cast<Splitter*>(splitter);
    self->block_.assign(block, block + n);
    self->order_.assign(order, order + n);
}

// The window as one block, keeping the block the sorter hands over and its
// order.
bool Splitter::CompressKeepingOrder(Block* whole)
{
    struct Handing {  // hands nothing once done, however it ends
        explicit Handing(Splitter* splitter) { KVX_handSortedBlocks(KeepSorted, splitter); }
        ~Handing() { KVX_handSortedBlocks(nullptr, nullptr); }
    } handing(this);
    return Compress(0, size_, whole);
}

// Where each granule's first byte falls in the block, following libbzip2's
// run-length coding (a run of 4 to 255 bytes is 4 of them and a count): at
// the start of the run it is in.  False unless that coding gives the block
// the sorter handed over.
bool Splitter::MapGranules()
{
    at_.assign(size_ / Granule + 1, 0);
    size_t out = 0;
    for (size_t i = 0; i < size_;) {
        size_t run = 1;
        while (run < 255 && i + run < size_ && data_[i + run] == data_[i])
            run++;
        for (size_t g = (i + Granule - 1) / Granule; g * Granule < i + run && g < at_.size(); g++)
            at_[g] = (uint32_t)out;
        out += run < 4 ? run : 5;
        i += run;
    }
    return !block_.empty() && out == block_.size() && order_.size() == block_.size();
}

// The bits block_[from, to) takes as a block, its rotations in `order` (the
// window's order with the other positions left out: right but for
// rotations that reach the piece's end before they differ), with tables
// chosen as the search chooses them.  Its move-to-front coding is
// libbzip2's: the last column's bytes by rank among those in use, runs of
// rank 0 as their count in bijective base 2 (RUNA, RUNB), then an end.
uint64_t Splitter::Estimate(uint32_t from, uint32_t to, const Order& order)
{
    bool inUse[256] = {};
    for (uint32_t i = from; i < to; i++)
        inUse[block_[i]] = true;
    uint8_t seq[256];
    int inUseCount = 0, ranges = 0;
    for (int c = 0; c < 256; c++)
        if (inUse[c])
            seq[c] = (uint8_t)inUseCount++;
    for (int r = 0; r < 16; r++)
        ranges += std::find(inUse + 16 * r, inUse + 16 * r + 16, true) != inUse + 16 * r + 16;
    const int runA = 0, runB = 1, end = inUseCount + 1;
    int32_t freq[258] = {};
    mtfv_.resize(order.size() + 1);
    size_t n = 0;
    uint32_t zeros = 0;
    auto flushZeros = [&] {
        for (; zeros > 0; zeros = (zeros - 1) / 2) {
            const int run = (zeros - 1) & 1 ? runB : runA;  // zeros - 1 in bijective base 2, low digit first
            mtfv_[n++] = (uint16_t)run, freq[run]++;
            if (zeros < 3)
                break;
        }
        zeros = 0;
    };
    // The last column first, on its own: its reads fall all over the
    // block, and with nothing else in the loop many are under way at once.
    last_.resize(order.size());
    for (size_t i = 0; i < order.size(); i++) {
        const uint32_t p = order[i];
        last_[i] = seq[block_[p == from ? to - 1 : p - 1]];
    }
    alignas(16) uint8_t tail[256];
    uint64_t head = KVX_mtfStart(tail);
    for (const uint8_t c : last_) {
        if (KVX_mtfFront(head) == c) {
            zeros++;
            continue;
        }
        flushZeros();
        const int rank = KVX_mtfMove(&head, tail, c);
        mtfv_[n++] = (uint16_t)(rank + 1), freq[rank + 1]++;
    }
    flushZeros();
    mtfv_[n++] = (uint16_t)end, freq[end]++;
    // Magic, CRC, randomised flag and origin; the map of bytes in use; the
    // number of tables and of selectors.
    const uint64_t header = 48 + 32 + 1 + 24 + 16 + 16 * ranges + 3 + 15;
    return header + tables::SearchBits(mtfv_.data(), (int)n, inUseCount + 2, freq);
}

// Whether `order` is the order of the rotations of block_[from, to): each
// rotation one place before an entry's must be the next in its bucket (as
// the sorter checks its own).
bool Splitter::InOrder(uint32_t from, uint32_t to, const Order& order) const
{
    uint32_t next[256] = {}, at = 0;
    for (uint32_t i = from; i < to; i++)
        next[block_[i]]++;
    for (int c = 0; c < 256; c++) {
        const uint32_t count = next[c];
        next[c] = at;
        at += count;
    }
    for (uint32_t p : order) {
        const uint32_t before = p == from ? to - 1 : p - 1;
        if (order[next[block_[before]]++] != before)
            return false;
    }
    return true;
}

// A piece's rotations in order, where its positions in its parent's order
// are not (two rotations reach the piece's end before they differ): sorted
// (left as they are if the piece is a shorter string repeated).  Returns
// whether `order` is now the order of its rotations.
bool Splitter::Sort(uint32_t from, uint32_t to, Order* order)
{
    if (InOrder(from, to, *order))
        return true;
    const uint32_t n = to - from;
    int count[256] = {};
    for (uint32_t i = from; i < to; i++)
        count[block_[i]]++;
    std::vector<uint32_t> work(KVX_INDUCED_WORK(n) + 1);
    Order sortedOrder(n);
    if (KVX_sortRotationsInduced(block_.data() + from, count, sortedOrder.data(), (int)n, work.data()) == 0)
        return false;
    for (uint32_t& p : sortedOrder)
        p += from;
    order->swap(sortedOrder);
    return true;
}

// The pieces [from, to) is best coded as, `whole` being its bits as one
// block and `order` its rotations' order, `known` where exactly so (then
// kept for the piece, whose compression need not sort it again).
void Splitter::Best(size_t from, size_t to, int depth, uint64_t whole, Order order, bool known, std::vector<Piece>* out)
{
    const size_t middle = depth < MaxDepth && to - from >= 2 * MinPiece ? SplitPoint(from, to) : from;
    if (middle == from) {
        out->push_back({from, to, whole, known ? std::move(order) : Order()});
        return;
    }
    const uint32_t start = BlockAt(from), split = BlockAt(middle), end = BlockAt(to);
    Order left, right;
    left.reserve(split - start);
    right.reserve(end - split);
    for (uint32_t p : order)
        (p < split ? left : right).push_back(p);
    if (!known)  // kept only to be the piece's, should it stay whole
        Order().swap(order);
    uint64_t leftBits = Estimate(start, split, left), rightBits = Estimate(split, end, right);
    // Rotations out of order mostly make an estimate high (by 0.6 % where
    // that turned down a split that gained 1.5 %): halves a little above the
    // whole are estimated again, sorted.
    bool leftKnown = false, rightKnown = false;
    if (leftBits + rightBits >= whole && leftBits + rightBits < whole + whole / CloseCall) {
        leftKnown = Sort(start, split, &left);
        rightKnown = Sort(split, end, &right);
        leftBits = Estimate(start, split, left), rightBits = Estimate(split, end, right);
    }
    // Halves estimated well above the whole, deep down: hardly any split
    // below them comes out smaller.
    if (depth >= HopelessFrom && leftBits + rightBits >= whole + whole / Hopeless) {
        out->push_back({from, to, whole, std::move(order)});
        return;
    }
    std::vector<Piece> halves;
    Best(from, middle, depth + 1, leftBits, std::move(left), leftKnown, &halves);
    Best(middle, to, depth + 1, rightBits, std::move(right), rightKnown, &halves);
    uint64_t bits = 0;
    for (const Piece& piece : halves)
        bits += piece.bits;
    if (bits < whole)
        out->insert(out->end(), std::make_move_iterator(halves.begin()), std::make_move_iterator(halves.end()));
    else
        out->push_back({from, to, whole, std::move(order)});
}

// A piece as one block (as Compress), its order, where known, given to the
// sorter, which takes it if it is the order of the piece's block (a run
// across the piece's ends codes differently) and else sorts the block.
bool Splitter::CompressGiven(const Piece& piece, Block* block)
{
    struct Giving {  // gives nothing once done, however it ends
        Giving(const uint8_t* block, const Order& order, uint32_t first)
        {
            KVX_giveSortedBlock(block, order.data(), (int)order.size(), first);
        }
        ~Giving() { KVX_giveSortedBlock(nullptr, nullptr, 0, 0); }
    };
    const uint32_t first = BlockAt(piece.from);
    Giving giving(block_.data() + first, piece.order, first);
    return Compress(piece.from, piece.to, block);
}

// Compresses the pieces chosen with more effort, unless together they take
// more bits than `whole`, the window as one block, which is then kept (or
// that block finished, where smaller).
bool Splitter::Finish(const std::vector<Piece>& pieces, Block whole, std::vector<Block>* blocks)
{
    compressor_.Choose(Tables::Finish);
    std::vector<Block> finished;
    uint64_t bits = 0;
    for (const Piece& piece : pieces) {
        Block block;
        if (!CompressGiven(piece, &block) || (bits += BitsOf(block)) >= BitsOf(whole))
            break;
        finished.push_back(std::move(block));
    }
    if (problem_ != nullptr)
        return false;
    if (finished.size() < pieces.size()) {  // larger than the whole, or a piece that is no block
        if (pieces.size() > 1)
            return Finish({{0, size_, BitsOf(whole), {}}}, std::move(whole), blocks);
        finished.assign(1, std::move(whole));
    }
    blocks->insert(blocks->end(), std::make_move_iterator(finished.begin()), std::make_move_iterator(finished.end()));
    return true;
}

// The window as one block, its tables as the search chooses them or
// libbzip2's, whichever is smaller; its pieces estimated from its order; the
// best of them finished.
bool Splitter::Run(std::vector<Block>* blocks, const char** problem)
{
    compressor_.Choose(Tables::SearchWithLibbzip2s);
    Block whole;
    if (!CompressKeepingOrder(&whole)) {
        *problem = problem_ != nullptr ? problem_ : N_("libbzip2 wrote a stream that is not one block");
        return false;
    }
    std::vector<Piece> pieces;
    if (MapGranules())
        Best(0, size_, 0, BitsOf(whole), std::move(order_), true, &pieces);
    else
        pieces.push_back({0, size_, BitsOf(whole), {}});
    const bool finished = Finish(pieces, std::move(whole), blocks);
    compressor_.Choose(Tables::Libbzip2);
    if (finished)
        return true;
    *problem = problem_ != nullptr ? problem_ : N_("compression failed (out of memory)");
    return false;
}

// The window's bits as the search estimates them from its order, and as
// compressed with the search's tables.
bool Splitter::EstimateWhole(uint64_t* estimated, uint64_t* compressed)
{
    compressor_.Choose(Tables::Search);
    Block whole;
    const bool ok = CompressKeepingOrder(&whole);
    compressor_.Choose(Tables::Libbzip2);
    if (!ok || !MapGranules())
        return false;
    *estimated = Estimate(0, (uint32_t)block_.size(), order_);
    *compressed = BitsOf(whole);
    return true;
}

}  // namespace

bool EstimateForSize(const uint8_t* data, size_t size, Compressor& compressor, uint64_t* estimated, uint64_t* compressed)
{
    return Splitter(data, size, compressor).EstimateWhole(estimated, compressed);
}

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
