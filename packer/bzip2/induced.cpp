// The rotations of a block, sorted by induced sorting (SA-IS, after Nong,
// Zhang and Chan), done on the block as a cycle rather than on its suffixes.
//
// Each position of the cycle is of type S when its rotation is smaller than
// the one a place on, else of type L; an equal byte takes the type of the
// position after it.  A position of type S after one of type L is an LMS
// position, and every cycle that is not one byte throughout has at least one.
// Knowing the order of the LMS rotations, one pass from the left puts every
// L rotation in place and one pass from the right every S rotation.  The LMS
// rotations are ordered by the same two passes first started from the LMS
// positions in any order, which orders them by the stretch up to the next
// LMS position; where such stretches repeat, the string of their names is
// sorted the same way, one level down.
//
// Below the block, most names are often unique.  There prefix doubling
// (Larsson and Sadakane) orders the string of names faster than the induced
// passes: after the first name, it goes by none but the rotations whose
// names repeat.  A level's string of at most 65,536 names is kept in 16
// bits, which halves the memory its passes read at random.
//
// A block that is a shorter string repeated has equal rotations.  Its names
// repeat at every level, until a level whose string is one name throughout
// and has no LMS position: then the sort gives up.
//
// The passes look up no types: an entry's predecessor is of type L when its
// byte is at least the entry's own and the entry is of type L, or greater
// than it; the left pass marks each entry it places as of type L.  (The
// types are kept a bit each, for finding LMS positions and stretches.)
// The passes ask for no memory ahead: the processor's own prefetching and
// out-of-order loads did better in every measurement.
#include "induced.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace induced {
namespace {

using Index = uint32_t;

constexpr Index Empty = 0x7FFFFFFF;     // a slot that holds no position yet
constexpr Index TypeL = 0x80000000;     // set on entries the left pass placed
constexpr Index Distinct = 0x40000000;  // on the block's entries: see Groups
constexpr Index Position = 0x3FFFFFFF;  // an entry's position, without marks

// Empties the slots from `from` to `to`, eight at a time where it can: the
// compiler does not gather a plain fill's stores.
inline void Clear(Index* from, Index* to)
{
    const uint64_t two = uint64_t{Empty} << 32 | Empty, eight[4] = {two, two, two, two};
    for (; to - from >= 8; from += 8)
        std::memcpy(from, eight, sizeof eight);
    for (; from < to; from++)
        *from = Empty;
}

inline Index Before(Index p, Index n)
{
    return p != 0 ? p - 1 : n - 1;
}

// One level's string and its buckets: `start[c]` is where the rotations that
// begin with c begin in the order, start[k] == n; `next` holds each bucket's
// moving end during a pass.
template <class Sym>
struct Level {
    const Sym* t;
    Index* sa;
    Index n;
    Index k;
    Index* start;
    Index* next;
    uint64_t* isS;
    bool bucketsShared;  // in the work space, which the levels below reuse
};

// ---- Types ------------------------------------------------------------------

// Eight bytes from p, the first the least significant, on any processor: one
// load, its bytes swapped where the processor is big-endian.
inline uint64_t LoadLittle(const void* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}


// 1 when the last position is of type S, 0 when of type L, -1 when the
// string is one symbol throughout.
template <class Sym>
int LastType(const Sym* t, Index n)
{
    Sym before = t[n - 1];
    for (Index i = 0; i < n; i++) {
        if (t[i] != before)
            return before < t[i];
        before = t[i];
    }
    return -1;
}

inline Index TypeWords(Index n)
{
    return (n + 63) / 64;
}

// The bits of x in the opposite order.
inline uint64_t ReverseBits(uint64_t x)
{
    x = __builtin_bswap64(x);
    x = (x >> 4 & 0x0F0F0F0F0F0F0F0F) | (x & 0x0F0F0F0F0F0F0F0F) << 4;
    x = (x >> 2 & 0x3333333333333333) | (x & 0x3333333333333333) << 2;
    return (x >> 1 & 0x5555555555555555) | (x & 0x5555555555555555) << 1;
}

// Each symbol from t[0] to t[count - 1] against the one after it, a bit each,
// appended to `below` and `equal` in order, the first the most significant.
template <class Sym>
inline void CompareNext(const Sym* t, Index count, uint64_t& below, uint64_t& equal)
{
    for (Index i = 0; i < count; i++) {
        below = below << 1 | (t[i] < t[i + 1]);
        equal = equal << 1 | (t[i] == t[i + 1]);
    }
}

// The top bits of the eight bytes of v, the first byte's the most
// significant of the eight: each moves to its own place in the product.
inline uint64_t GatherTopBits(uint64_t v)
{
    return (v >> 7 & 0x0101010101010101) * 0x8040201008040201 >> 56;
}

// The same for 64 bytes, eight at a time within a word: a byte's low seven
// bits are compared by a subtraction that cannot borrow across bytes, and the
// top bits decide where they differ.  Reads t[0..64].
inline void CompareNext64(const unsigned char* t, uint64_t& below, uint64_t& equal)
{
    constexpr uint64_t Top = 0x8080808080808080, Low = ~Top;
    for (int i = 0; i < 64; i += 8) {
        const uint64_t x = LoadLittle(t + i), y = LoadLittle(t + i + 1), differ = x ^ y;
        const uint64_t lowBelow = ~(((x & Low) | Top) - (y & Low));
        below = below << 8 | GatherTopBits((~x & y) | (~differ & lowBelow));
        equal = equal << 8 | GatherTopBits(~(((differ & Low) + Low) | differ));
    }
}

template <class Sym>
inline void CompareNext64(const Sym* t, uint64_t& below, uint64_t& equal)
{
    CompareNext(t, 64, below, equal);
}

// Sets bit i of l.isS for each position of type S, 64 positions at a time
// from the right.  A position is of type S where its symbol is below the next
// one's, and takes the next one's type where they are equal: a chain that
// runs down the positions as a carry runs up a sum.  So each word's
// comparisons are gathered with its first position in the highest bit, and
// `below | equal` plus `below` carries a 1 out of each place of type S; the
// carry coming in is the type of the position after the word.
template <class Sym>
void ClassifyTypes(const Level<Sym>& l, int lastType)
{
    const Sym* t = l.t;
    const Index n = l.n;
    uint64_t after = 0;
    for (Index w = TypeWords(n); w-- > 0;) {
        const Index from = w * 64, to = std::min(from + 64, n - 1);
        uint64_t below = 0, equal = 0;
        if (to == from + 64)
            CompareNext64(t + from, below, equal);
        else
            CompareNext(t + from, to - from, below, equal);
        if (n - 1 < from + 64) {  // the last position's type, found around the cycle
            below = (below << 1 | (lastType == 1)) << (63 - (n - 1) % 64);
            equal = equal << 1 << (63 - (n - 1) % 64);
        }
        const uint64_t either = below | equal;
        uint64_t sum;
        const bool out = __builtin_add_overflow(either, below, &sum) | __builtin_add_overflow(sum, after, &sum);
        l.isS[w] = ReverseBits((sum ^ either ^ below) >> 1 | uint64_t{out} << 63);
        after = out;
    }
}

// Calls visit(p) for every LMS position, from the first to the last.
template <class Sym, class Visit>
void VisitLms(const Level<Sym>& l, Visit visit)
{
    const uint64_t* isS = l.isS;
    const Index words = TypeWords(l.n);
    uint64_t before = isS[(l.n - 1) / 64] >> ((l.n - 1) % 64) & 1;
    for (Index w = 0; w < words; w++) {
        for (uint64_t lms = isS[w] & ~(isS[w] << 1 | before); lms != 0; lms &= lms - 1)
            visit(w * 64 + __builtin_ctzll(lms));
        before = isS[w] >> 63;
    }
}

// ---- Buckets ----------------------------------------------------------------

template <class Sym>
void CountBuckets(const Level<Sym>& l)
{
    std::memset(l.start, 0, (l.k + 1) * sizeof l.start[0]);
    for (Index i = 0; i < l.n; i++)
        l.start[l.t[i] + 1]++;
    for (Index c = 0; c < l.k; c++)
        l.start[c + 1] += l.start[c];
}

// The block's buckets from the count of each byte.
void StartBuckets(const int count[256], Index start[257])
{
    start[0] = 0;
    for (int c = 0; c < 256; c++)
        start[c + 1] = start[c] + (Index)count[c];
}

template <class Sym>
void SetBucketEnds(const Level<Sym>& l)
{
    std::memcpy(l.next, l.start + 1, l.k * sizeof l.next[0]);
}

// ---- The two passes ---------------------------------------------------------

// While the block's two passes sort the LMS stretches, they also tell equal
// stretches apart, so that naming them reads no stretch again.  The entries
// the passes go by form groups of equal beginnings, numbered in the order
// gone by (`current`).  Two positions put one after the other in a bucket
// begin alike exactly when the entries that put them were of one group; a
// position that does not is marked Distinct.  The left pass marks where an
// entry differs from the one before it, the right pass where it differs
// from the one after it; the gathered LMS positions are marked where they
// differ from the one gathered before, the next larger.
struct Groups {
    Index current = 0;
    Index lastPut[256] = {};  // the group that last put a position in each bucket
    Index lastGathered = 0;

    Index Mark(Index bucket)
    {
        const Index mark = lastPut[bucket] != current ? Distinct : 0;
        lastPut[bucket] = current;
        return mark;
    }
    Index MarkGathered()
    {
        const Index mark = lastGathered != current ? Distinct : 0;
        lastGathered = current;
        return mark;
    }
};

// The left pass over the block's bucket c, whose LMS positions begin at
// lmsFront: its entries of type L run from its start to its moving front,
// and the slots between hold no position (neither is tested).  An LMS
// position's predecessor is of type L, with a greater byte.
template <bool naming, class Sym>
inline void InduceLBucket(const Level<Sym>& l, Index c, Index lmsFront, Groups* groups)
{
    const Sym* t = l.t;
    Index* sa = l.sa;
    for (Index i = l.start[c]; i < l.next[c]; i++) {
        const Index entry = sa[i], p = Before(entry & Position, l.n);
        if (naming)
            groups->current += entry / Distinct & 1;
        if (t[p] >= c)
            sa[l.next[t[p]]++] = p | TypeL | (naming ? groups->Mark(t[p]) : 0);
    }
    if (naming && lmsFront < l.start[c + 1])
        groups->current++;  // the bucket's LMS positions, all alike so far
    for (Index i = lmsFront; i < l.start[c + 1]; i++) {
        const Index p = Before(sa[i], l.n);
        sa[l.next[t[p]]++] = p | TypeL | (naming ? groups->Mark(t[p]) : 0);
    }
}

// From the left: every entry whose predecessor is of type L puts it at the
// front of its bucket, marked as of type L.  The LMS positions are at the
// ends of their buckets, where `next` points to the first of them.  The
// block's pass goes bucket by bucket (see InduceLBucket); the levels below
// have too many buckets for that to pay.
template <bool naming = false, class Sym>
void InduceL(const Level<Sym>& l, Groups* groups = nullptr)
{
    const Sym* t = l.t;
    Index* sa = l.sa;
    const Index n = l.n;
    if constexpr (sizeof(Sym) == 1) {
        Index lmsFront[256];
        std::memcpy(lmsFront, l.next, l.k * sizeof lmsFront[0]);
        std::memcpy(l.next, l.start, l.k * sizeof l.next[0]);
        for (Index c = 0; c < l.k; c++)
            InduceLBucket<naming>(l, c, lmsFront[c], groups);
        return;
    }
    std::memcpy(l.next, l.start, l.k * sizeof l.next[0]);
    for (Index i = 0; i < n; i++) {
        const Index j = sa[i] & Empty;
        if (j == Empty)
            continue;
        const Index p = Before(j, n);
        if (t[p] >= t[j])
            sa[l.next[t[p]]++] = p | TypeL;
    }
}

// One step of the right pass below: the entry at sa[i], never empty (see
// InduceSBucket).
template <bool collect, class Sym>
inline void InduceSAt(const Level<Sym>& l, Index i, Index& gathered)
{
    const Index entry = l.sa[i], j = entry & Empty;
    const bool isS = !(entry & TypeL);
    const Index p = Before(j, l.n);
    const Index c = l.t[j];
    l.sa[i] = j;
    if (collect && isS && l.t[p] > c)
        l.sa[--gathered] = j;
    else if (l.t[p] < c + isS)
        l.sa[--l.next[l.t[p]]] = p;
}

// The right pass over the block's bucket c, whose entries of type L end at
// typeLEnd.  No slot is empty when the pass reaches it: the left pass put
// every position of type L, and the positions of type S fill each bucket
// from its end, each when the pass goes by the position after it.  Were the
// pass to reach an unfilled slot, a position of type S would be waiting on
// the one after it, of type S with the same symbol and waiting too, and so
// on up to one in a later bucket, which the pass has gone by.  So each
// entry's type is known here without its mark.  (An entry of type S whose
// predecessor has a greater byte is at an LMS position.)
template <bool collect, bool naming, class Sym>
inline void InduceSBucket(const Level<Sym>& l, Index c, Index typeLEnd, Index& gathered, Groups* groups)
{
    const Sym* t = l.t;
    Index* sa = l.sa;
    for (Index i = l.start[c + 1]; i-- > typeLEnd;) {
        const Index entry = sa[i], j = entry & Position, p = Before(j, l.n);
        if (naming)
            groups->current += entry / Distinct & 1;
        if (t[p] <= c)
            sa[--l.next[t[p]]] = p | (naming ? groups->Mark(t[p]) : 0);
        else if (collect)
            sa[--gathered] = j | (naming ? groups->MarkGathered() : 0);
    }
    Index differsAfter = 1;  // from the entry after it, of type S or in the next bucket
    for (Index i = typeLEnd; i-- > l.start[c];) {
        const Index entry = sa[i], j = entry & Position, p = Before(j, l.n);
        if (naming) {
            groups->current += differsAfter;
            differsAfter = entry / Distinct & 1;
        }
        sa[i] = j;
        if (t[p] < c)
            sa[--l.next[t[p]]] = p | (naming ? groups->Mark(t[p]) : 0);
    }
}

// From the right: every entry whose predecessor is of type S puts it at the
// end of its bucket, and the marks of the left pass are taken off.  With
// `collect`, the LMS positions are not followed but gathered, in order, at
// the end of the array (into slots already passed), and their number is
// returned.  The block's pass goes bucket by bucket, the entries of type S
// apart from those of type L (see InduceSBucket); the levels below have too
// many buckets for that to pay.
template <bool collect, bool naming = false, class Sym>
Index InduceS(const Level<Sym>& l, Groups* groups = nullptr)
{
    Index gathered = l.n;
    if constexpr (sizeof(Sym) == 1) {
        Index typeLEnd[256];  // where the left pass left each bucket's front
        std::memcpy(typeLEnd, l.next, l.k * sizeof typeLEnd[0]);
        SetBucketEnds(l);
        for (Index c = l.k; c-- > 0;)
            InduceSBucket<collect, naming>(l, c, typeLEnd[c], gathered, groups);
    } else {
        SetBucketEnds(l);
        for (Index i = l.n; i-- > 0;)
            InduceSAt<collect>(l, i, gathered);
    }
    return l.n - gathered;
}

// ---- Naming the LMS stretches ----------------------------------------------

template <class Sym>
inline bool IsS(const Level<Sym>& l, Index i)
{
    return l.isS[i / 64] >> (i % 64) & 1;
}

template <class Sym>
inline bool IsLms(const Level<Sym>& l, Index i)
{
    return IsS(l, i) && !IsS(l, Before(i, l.n));
}

// The types of the 64 positions from p on, one a bit; p + 64 <= n.
template <class Sym>
inline uint64_t TypesFrom(const Level<Sym>& l, Index p)
{
    const uint64_t low = l.isS[p / 64] >> (p % 64);
    return p % 64 == 0 ? low : low | l.isS[p / 64 + 1] << (64 - p % 64);
}

// How far the next LMS position lies from the LMS position p, when within
// 63 positions and not past the end; else 0.
template <class Sym>
inline Index StretchEnd(const Level<Sym>& l, Index p)
{
    if (p + 64 > l.n)
        return 0;
    const uint64_t types = TypesFrom(l, p), lms = types & ~(types << 1) & ~uint64_t{1};
    return lms != 0 ? __builtin_ctzll(lms) : 0;
}

// The stretch from an LMS position up to and including the next LMS position
// around the cycle: where that lies (0 when not within StretchEnd's reach)
// and, when the stretch fits in 16 bytes, those bytes, the rest zero.
struct Stretch {
    Index at, end;
    bool fits;
    uint64_t head[2];
};

template <class Sym>
inline Stretch ReadStretch(const Level<Sym>& l, Index p)
{
    Stretch s = {p, StretchEnd(l, p), false, {0, 0}};
    if (s.end != 0 && sizeof(Sym) * (s.end + 1) <= sizeof s.head) {  // masked without a branch
        const Index bits = 8 * sizeof(Sym) * (s.end + 1);
        s.head[0] = LoadLittle(&l.t[p]);
        s.head[1] = LoadLittle(&l.t[p] + 8 / sizeof(Sym));
        s.head[0] &= bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
        s.head[1] &= bits <= 64 ? 0 : bits == 128 ? ~uint64_t{0} : (uint64_t{1} << (bits - 64)) - 1;
        s.fits = true;
    }
    return s;
}

// True when two stretches agree.  Their types then agree too: they follow
// from the symbols, back from the ends.
template <class Sym>
bool SameStretch(const Level<Sym>& l, const Stretch& x, const Stretch& y)
{
    if (x.fits & y.fits)
        return (x.end == y.end) & (x.head[0] == y.head[0]) & (x.head[1] == y.head[1]);
    if (x.end != 0 && y.end != 0) {
        if (x.end != y.end)
            return false;
        for (Index i = 0; i <= x.end; i++)
            if (l.t[x.at + i] != l.t[y.at + i])
                return false;
        return true;
    }
    Index a = x.at, b = y.at;
    if (l.t[a] != l.t[b])
        return false;
    for (;;) {
        a = a + 1 < l.n ? a + 1 : 0;
        b = b + 1 < l.n ? b + 1 : 0;
        if (l.t[a] != l.t[b])
            return false;
        const bool lmsA = IsLms(l, a), lmsB = IsLms(l, b);
        if (lmsA || lmsB)
            return lmsA && lmsB;
    }
}

// Given the m LMS positions ordered by their stretches at sa[n-m..n), leaves
// the string of their names, in the order of the positions, at sa[n-m..n) and
// returns the number of names.  Each name is kept at sa[p / 2] on the way:
// LMS positions are never adjacent.
template <class Sym>
Index NameStretches(const Level<Sym>& l, Index m)
{
    Index* sa = l.sa;
    const Index n = l.n;
    Index names = 1;
    Stretch previous = ReadStretch(l, sa[n - m]);
    sa[previous.at / 2] = 0;
    for (Index i = n - m + 1; i < n; i++) {
        const Stretch current = ReadStretch(l, sa[i]);
        names += !SameStretch(l, current, previous);
        sa[current.at / 2] = names - 1;
        previous = current;
    }
    Index to = n - m;
    VisitLms(l, [&](Index p) { sa[to++] = sa[p / 2]; });
    return names;
}

// The same for the block, from the marks its passes left (see Groups).
template <class Sym>
Index NameMarked(const Level<Sym>& l, Index m)
{
    Index* sa = l.sa;
    const Index n = l.n;
    Index names = 0;
    for (Index i = n - m; i < n; i++) {
        sa[(sa[i] & Position) / 2] = names;
        names += sa[i] / Distinct & 1;
    }
    Index to = n - m;
    VisitLms(l, [&](Index p) { sa[to++] = sa[p / 2]; });
    return names;
}

// ---- Prefix doubling --------------------------------------------------------

unsigned long long LevelCounts[KVX_LEVEL_PATHS];

inline void CountLevel(int path)
{
    __atomic_fetch_add(&LevelCounts[path], 1, __ATOMIC_RELAXED);
}

// Doubling is tried where at most `DoublingShare` sixteenths of the
// rotations begin with a name that repeats, and given up once the groups its
// rounds went through hold `DoublingBudget` times as many rotations as the
// string: with more names alike, or alike for longer (as where a stretch of
// the block repeats), the induced passes are faster.  The levels below one
// where it gave up so hold the same long stretches, and do not try it; a
// group too large for the work space left says nothing of them.
constexpr Index DoublingShare = 12, DoublingBudget = 3;
constexpr Index TooLarge = ~Index{0};

// A group is the rotations that agree so far: they stand together in the
// order, and `rank` gives each of them the group's last slot.  The groups of
// several rotations are listed by their first slots, in two lists that each
// round reads from and writes to in turn; a group of one is never gone
// through again.
struct Doubling {
    const Index* t;
    Index* sa;
    Index* rank;
    Index m;
    Index* list[2];   // each with room for m / 2 + 1 groups
    Index groups;     // in the list the next round reads
    uint64_t* pairs;  // a group's rotations with their keys, while it is sorted, and as many spare
    Index capacity;   // the pairs there is room for
};

// Counts the rotations that begin with each name (below k) into `count`,
// k + 1 entries, as the first slot of each name's group (and the string's
// length); returns how many rotations begin with a name that repeats.
Index CountNames(const Doubling& d, Index k, Index* count)
{
    std::memset(count, 0, (k + 1) * sizeof count[0]);
    for (Index p = 0; p < d.m; p++)
        count[d.t[p] + 1]++;
    Index several = 0;
    for (Index c = 1; c <= k; c++) {
        several += count[c] > 1 ? count[c] : 0;
        count[c] += count[c - 1];
    }
    return several;
}

// Groups the rotations by their first name, from CountNames' `count`, and
// lists the groups of several.
void GroupByName(Doubling& d, Index k, Index* count)
{
    d.groups = 0;
    for (Index c = 0; c < k; c++)
        if (count[c + 1] - count[c] > 1)
            d.list[0][d.groups++] = count[c];
    for (Index p = 0; p < d.m; p++)
        d.sa[count[d.t[p]]++] = p;
    for (Index p = 0; p < d.m; p++)
        d.rank[p] = count[d.t[p]] - 1;
}

// Sorts a large group's pairs by their keys (the high halves), a byte of
// the bits in which the keys differ from the least at each pass, between
// `pairs` and `spare`; returns where they end.
uint64_t* RadixSortPairs(uint64_t* pairs, uint64_t* spare, Index size)
{
    Index least = ~Index{0}, most = 0;
    for (Index i = 0; i < size; i++) {
        least = std::min(least, Index(pairs[i] >> 32));
        most = std::max(most, Index(pairs[i] >> 32));
    }
    for (int shift = 32; shift < 64 && (most - least) >> (shift - 32) != 0; shift += 8) {
        Index start[256] = {};
        for (Index i = 0; i < size; i++)
            start[((pairs[i] >> 32) - least) >> (shift - 32) & 0xFF]++;
        for (Index c = 0, at = 0; c < 256; c++)
            at += std::exchange(start[c], at);
        for (Index i = 0; i < size; i++)
            spare[start[((pairs[i] >> 32) - least) >> (shift - 32) & 0xFF]++] = pairs[i];
        std::swap(pairs, spare);
    }
    return pairs;
}

// Sorts a group's pairs by their keys; returns where they end, in `pairs`
// or, for a large group, `spare`.
inline uint64_t* SortPairs(uint64_t* pairs, uint64_t* spare, Index size)
{
    if (size > 64)
        return RadixSortPairs(pairs, spare, size);
    for (Index i = 1; i < size; i++) {
        const uint64_t pair = pairs[i];
        Index j = i;
        for (; j > 0 && pairs[j - 1] > pair; j--)
            pairs[j] = pairs[j - 1];
        pairs[j] = pair;
    }
    return pairs;
}

// Puts a group's rotations, sorted in `pairs`, back from slot `at` on, as
// groups of equal keys, listing those of several in `out`; returns how many
// rotations are in them.
Index SplitGroup(Doubling& d, const uint64_t* pairs, Index at, Index size, Index* out, Index& groups)
{
    Index several = 0;
    for (Index s = 0, e; s < size; s = e) {
        const Index key = pairs[s] >> 32;
        for (e = s + 1; e < size && Index(pairs[e] >> 32) == key;)
            e++;
        for (Index x = s; x < e; x++) {
            const Index p = Index(pairs[x]);
            d.sa[at + x] = p;
            d.rank[p] = at + e - 1;
        }
        if (e - s > 1) {
            out[groups++] = at + s;
            several += e - s;
        }
    }
    return several;
}

// One round: each group of several rotations, which agree in their first h
// names, is sorted by the groups of the rotations h places on and split
// where those differ, so that the groups agree in 2h names.  A group's keys
// are all read before any of its rotations moves to a new group; groups
// split earlier in the round give finer keys, never another order.  Returns
// how many rotations are left in groups of several, or TooLarge when a group
// does not fit in `pairs`.
Index Refine(Doubling& d, Index h, int round)
{
    const Index* in = d.list[round & 1];
    Index* out = d.list[~round & 1];
    Index several = 0, groups = 0;
    for (Index g = 0; g < d.groups; g++) {
        const Index at = in[g], size = d.rank[d.sa[at]] + 1 - at;
        if (size > d.capacity / 2)
            return TooLarge;
        for (Index x = 0; x < size; x++) {
            const Index p = d.sa[at + x], q = p + h < d.m ? p + h : p + h - d.m;
            d.pairs[x] = uint64_t{d.rank[q]} << 32 | p;
        }
        const uint64_t* sorted = SortPairs(d.pairs, d.pairs + size, size);
        several += SplitGroup(d, sorted, at, size, out, groups);
    }
    d.groups = groups;
    return several;
}

enum class Doubled { Sorted, GaveUp, NoRoom, NotTried };

// Orders the m rotations of the string t of names below k into sa by prefix
// doubling, with the work space from `work` to `workEnd`.  Unless Sorted,
// the string is left to the induced passes, with sa spoiled.
Doubled OrderByDoubling(const Index* t, Index* sa, Index m, Index k, Index* work, Index* workEnd)
{
    // The ranks, the two lists, then the pairs: 64-bit aligned, as work is
    // at every level (each level's types take an even number of entries).
    const Index listLength = m / 2 + 1, pairsFrom = (m + 2 * listLength + 1) & ~Index{1};
    if (uint64_t(workEnd - work) < uint64_t{pairsFrom} + k + 1)
        return Doubled::NotTried;
    Doubling d = {t, sa, work, m, {work + m, work + m + listLength}, 0,
                  reinterpret_cast<uint64_t*>(work + pairsFrom), Index((workEnd - work - pairsFrom) / 2)};
    Index several = CountNames(d, k, work + pairsFrom);
    if (uint64_t{several} * 16 > uint64_t{DoublingShare} * m)
        return Doubled::NotTried;
    GroupByName(d, k, work + pairsFrom);
    uint64_t budget = uint64_t{DoublingBudget} * m;
    // h stays below m, so that a rotation h places on is found by one
    // subtraction: a string with equal rotations repeats every name and
    // never gets here.
    for (Index h = 1, round = 0; several != 0; h *= 2, round++) {
        if (h >= m || several > budget)
            return Doubled::GaveUp;
        budget -= several;
        several = Refine(d, h, round);
        if (several == TooLarge)
            return Doubled::NoRoom;
    }
    for (Index p = 0; p < m; p++)
        sa[d.rank[p]] = p;
    return Doubled::Sorted;
}

// ---- Levels -----------------------------------------------------------------

bool SortLevel(Index* t, Index* sa, Index n, Index k, Index* work, Index* workEnd, bool mayDouble);

// The block's passes go by no slot but its entries of type L and its LMS
// positions (see InduceLBucket and InduceSBucket): the others need not be
// emptied first.
template <class Sym>
constexpr bool NeedsEmptySlots()
{
    return sizeof(Sym) != 1;
}

// Puts the m LMS positions, ordered by rotation at sa[0..m), at the ends of
// their buckets, keeping their order, and clears the rest.
template <class Sym>
void PlaceOrderedLms(const Level<Sym>& l, Index m)
{
    Index* sa = l.sa;
    if (NeedsEmptySlots<Sym>())
        Clear(sa + m, sa + l.n);
    SetBucketEnds(l);
    for (Index i = m; i-- > 0;) {
        const Index p = sa[i];
        if (NeedsEmptySlots<Sym>())
            sa[i] = Empty;
        sa[--l.next[l.t[p]]] = p;
    }
}

// Orders the LMS rotations into sa[0..m), given the string of their names at
// sa[n-m..n): at once when every name is different, else by prefix doubling
// where `mayDouble` and it pays, else one level down.  The string of names
// is then replaced by the positions, which the order is turned into.
template <class Sym>
bool OrderLms(const Level<Sym>& l, Index m, Index names, Index* work, Index* workEnd, bool mayDouble)
{
    Index* sa = l.sa;
    const Index n = l.n;
    Index* reduced = sa + (n - m);
    if (names == m) {
        CountLevel(KVX_LEVEL_DISTINCT);
        for (Index i = 0; i < m; i++)
            sa[reduced[i]] = i;
    } else {
        const Doubled doubled = mayDouble ? OrderByDoubling(reduced, sa, m, names, work, workEnd) : Doubled::NotTried;
        if (doubled != Doubled::NotTried)
            CountLevel(doubled == Doubled::Sorted ? KVX_LEVEL_DOUBLED : KVX_LEVEL_DOUBLING_GAVE_UP);
        if (doubled != Doubled::Sorted &&
            !SortLevel(reduced, sa, m, names, work, workEnd, mayDouble && doubled != Doubled::GaveUp))
            return false;
    }
    Index to = n - m;
    VisitLms(l, [&](Index p) { sa[to++] = p; });
    for (Index i = 0; i < m; i++)
        sa[i] = reduced[sa[i]];
    return true;
}

// Orders the LMS positions by their stretches: the two passes, started from
// the LMS positions in the order of the text at the ends of their buckets.
// Returns their number; they are gathered at the end of sa.
template <class Sym>
Index SortStretches(const Level<Sym>& l)
{
    if (NeedsEmptySlots<Sym>())
        Clear(l.sa, l.sa + l.n);
    SetBucketEnds(l);
    VisitLms(l, [&](Index p) { l.sa[--l.next[l.t[p]]] = p; });
    if constexpr (sizeof(Sym) == 1) {
        Groups groups;
        InduceL<true>(l, &groups);
        return InduceS<true, true>(l, &groups);
    }
    InduceL(l);
    return InduceS<true>(l);
}

template <class Sym>
bool Sort(const Level<Sym>& l, Index* work, Index* workEnd, bool mayDouble)
{
    if (l.n == 1) {
        l.sa[0] = 0;
        return true;
    }
    const int lastType = LastType(l.t, l.n);
    if (lastType < 0)
        return false;

    if (l.bucketsShared)
        CountBuckets(l);
    ClassifyTypes(l, lastType);
    const Index m = SortStretches(l);
    const Index names = sizeof(Sym) == 1 ? NameMarked(l, m) : NameStretches(l, m);
    if (!OrderLms(l, m, names, work, workEnd, mayDouble))
        return false;
    if (l.bucketsShared)
        CountBuckets(l);
    PlaceOrderedLms(l, m);
    InduceL(l);
    InduceS<false>(l);
    return true;
}

// A level below the block: its symbols are names, as many kinds as there are
// names, narrowed to 16 bits in place where they fit.  Its types come first
// in `work`; its buckets follow, where the levels below it put theirs in
// turn, up to `workEnd`.
bool SortLevel(Index* t, Index* sa, Index n, Index k, Index* work, Index* workEnd, bool mayDouble)
{
    Index* below = work + 2 * TypeWords(n);
    CountLevel(k <= 0x10000 ? KVX_LEVEL_NARROW : KVX_LEVEL_WIDE);
    if (k <= 0x10000) {
        uint16_t* narrow = reinterpret_cast<uint16_t*>(t);
        for (Index i = 0; i < n; i++) {  // each name read before it is written over
            Index name;
            std::memcpy(&name, t + i, sizeof name);
            const uint16_t low = uint16_t(name);
            std::memcpy(narrow + i, &low, sizeof low);
        }
        const Level<uint16_t> l = {narrow, sa, n, k, below, below + k + 1, reinterpret_cast<uint64_t*>(work), true};
        return Sort(l, below, workEnd, mayDouble);
    }
    const Level<Index> l = {t, sa, n, k, below, below + k + 1, reinterpret_cast<uint64_t*>(work), true};
    return Sort(l, below, workEnd, mayDouble);
}

}  // namespace
}  // namespace induced

extern "C" int KVX_sortRotationsInduced(const unsigned char* block, const int count[256], unsigned* order, int n,
                                        unsigned* work)
{
    using namespace induced;
    Index start[257], next[256];
    const Level<unsigned char> l = {block, order, (Index)n, 256, start, next, reinterpret_cast<uint64_t*>(work), false};
    StartBuckets(count, start);
    return Sort(l, work + 2 * TypeWords(n), work + KVX_INDUCED_WORK(n), true);
}

extern "C" void KVX_inducedLevelCounts(unsigned long long counts[KVX_LEVEL_PATHS])
{
    for (int path = 0; path < KVX_LEVEL_PATHS; path++)
        counts[path] = __atomic_load_n(&induced::LevelCounts[path], __ATOMIC_RELAXED);
}
