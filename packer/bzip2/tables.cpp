// Huffman tables chosen for size.  A block's move-to-front symbols are coded
// in groups of 50, each group by one of 2 to 6 tables, which its selector
// names.  What the block costs is the bits of its data, of its selectors
// (each the place of its table in a move-to-front list, in unary) and of
// its tables (each code length as steps up or down from the one before).
//
// libbzip2 takes the number of tables from the block's size, refines the
// selectors four times from one start, and keeps lengths within 17 bits.
// Here every number of tables is tried.  The selectors are refined, from
// one start or several, as in k-means: each group takes the table that
// codes it in the fewest bits, and each table is made for the groups that
// took it, at first with ideal (fractional) code lengths.  Then each table
// gets real lengths of at most 20 bits: the fewest bits for its groups
// (package-merge) when searching, and when finishing the fewest bits for
// its groups and for writing the table itself (or for its groups alone,
// where those cost less, table included).  The exact cost decides, and
// libbzip2's own choice stays unless one of these is smaller.  Every code
// fills its code space (some decoders refuse one that does not), and every
// decision is made in integers, so that every build writes the same bytes.
#include "tables.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tables {
namespace {

constexpr int MaxLength = 20;
constexpr int GroupSize = BZ_G_SIZE;
constexpr int MaxTables = BZ_N_GROUPS;
constexpr int MinTables = 2;  // the fewest a decoder accepts
constexpr int MaxAlpha = BZ_MAX_ALPHA_SIZE;

// How hard each effort works.
struct Effort {
    int idealPasses;      // refining with ideal lengths (it stops sooner once the selectors settle)
    bool severalStarts;   // else one start for each number of tables
    bool tableBits;       // real lengths that count the table's own bits, else only the data's
    int finishingPasses;  // then refining with those, for the best two numbers of tables
};
const Effort Search = {3, false, false, 0};
const Effort Finish = {12, true, true, 2};
const size_t Finished = 2;

// Where lengths count the table's own bits, costs are in units of 2^-24
// bits, and code space has a price: what the whole of it costs, in those
// units.  The search for the price starts at 1e-4 bits for 2^-20 of it.
constexpr int CostShift = 24;
constexpr int64_t StartPrice = 1759218604;

// What each symbol costs under each table, eight tables side by side in
// 16-bit lanes, so that a group is costed under all of them in one step.  A
// group is 50 symbols of at most 20 bits (ideal lengths: 640 units), so its
// cost fits in 16 bits.
typedef uint16_t Lanes __attribute__((vector_size(16)));

// The block's groups of symbols, each as the count of each symbol in it.
struct Groups {
    int alphaSize = 0;
    std::vector<uint32_t> start;  // group g's counts: [start[g], start[g + 1])
    // Each symbol and its count as offsets in bytes, 16 to one (a row of
    // costs, a count in every lane), as the costs of a group read them.
    std::vector<uint16_t> symbolAt, timesAt;
    int count() const { return (int)start.size() - 1; }
    int symbol(uint32_t k) const { return symbolAt[k] / (int)sizeof(Lanes); }
    uint32_t times(uint32_t k) const { return timesAt[k] / (uint32_t)sizeof(Lanes); }
};

// Each table's count of each symbol, over the groups that took it.
struct TableCounts {
    uint32_t count[MaxTables][MaxAlpha];
    uint32_t total[MaxTables];
    TableCounts() { Clear(); }
    TableCounts(const Groups& groups, const std::vector<uint8_t>& selector)
    {
        Clear();
        for (int g = 0; g < groups.count(); g++)
            Add(groups, g, selector[g]);
    }
    void Clear()
    {
        std::memset(count, 0, sizeof count);
        std::memset(total, 0, sizeof total);
    }
    void Add(const Groups& groups, int g, int table)
    {
        uint32_t* to = count[table];
        uint32_t sum = 0;
        for (uint32_t k = groups.start[g]; k < groups.start[g + 1]; k++) {
            to[groups.symbol(k)] += groups.times(k);
            sum += groups.times(k);
        }
        total[table] += sum;
    }
    void Move(const Groups& groups, int g, int from, int to)
    {
        uint32_t sum = 0;
        for (uint32_t k = groups.start[g]; k < groups.start[g + 1]; k++) {
            count[from][groups.symbol(k)] -= groups.times(k);
            count[to][groups.symbol(k)] += groups.times(k);
            sum += groups.times(k);
        }
        total[from] -= sum;
        total[to] += sum;
    }
};

// A choice of tables: the table of each group, each table's counts under
// those selectors, and each table's lengths.
struct Choice {
    int tables = 0;
    std::vector<uint8_t> selector;
    TableCounts counts;
    uint8_t length[MaxTables][MaxAlpha] = {};
    uint64_t bits = UINT64_MAX;  // data, selectors and tables, once lengths are set
    int64_t price[MaxTables] = {StartPrice, StartPrice, StartPrice, StartPrice, StartPrice, StartPrice};
};

// Counted into storage kept from block to block (each thread counts one
// block at a time), without a branch on whether a symbol is new to its
// group: that branch goes either way at random.
const Groups& CountGroups(const uint16_t* mtfv, Int32 nMTF, int alphaSize)
{
    static thread_local Groups groups;
    groups.alphaSize = alphaSize;
    groups.start.resize((size_t)(nMTF + GroupSize - 1) / GroupSize + 1);
    groups.symbolAt.resize(nMTF);
    groups.timesAt.resize(nMTF);
    uint16_t* symbol = groups.symbolAt.data();  // the symbols themselves, until their group is counted
    uint16_t* times = groups.timesAt.data();
    uint16_t count[MaxAlpha] = {};
    uint32_t at = 0, g = 0;
    for (Int32 from = 0; from < nMTF; from += GroupSize) {
        const Int32 to = std::min<Int32>(from + GroupSize, nMTF);
        const uint32_t first = at;
        groups.start[g++] = first;
        for (Int32 i = from; i < to; i++) {
            symbol[at] = mtfv[i];
            at += count[mtfv[i]]++ == 0;
        }
        for (uint32_t k = first; k < at; k++) {
            const uint16_t v = symbol[k];
            times[k] = (uint16_t)(count[v] * sizeof(Lanes));
            symbol[k] = (uint16_t)(v * sizeof(Lanes));
            count[v] = 0;
        }
    }
    groups.start[g] = at;
    return groups;
}

struct CostTable {
    Lanes of[MaxAlpha];
};

// Each count a group can hold, in every lane: multiplying by lanes read
// from memory spares the shuffles that would spread the count over them.
struct Spread {
    Lanes of[GroupSize + 1];
    Spread()
    {
        for (int times = 0; times <= GroupSize; times++)
            for (int lane = 0; lane < 8; lane++)
                of[times][lane] = (uint16_t)times;
    }
};
const Spread spread;

// The cost of group g under each table.
inline Lanes GroupCosts(const Groups& groups, int g, const CostTable& table)
{
    Lanes sum = {};
    const uint16_t *symbolAt = groups.symbolAt.data(), *timesAt = groups.timesAt.data();
    const char *costs = (const char*)table.of, *spreads = (const char*)spread.of;
    for (uint32_t k = groups.start[g]; k < groups.start[g + 1]; k++)
        sum += *(const Lanes*)(costs + symbolAt[k]) * *(const Lanes*)(spreads + timesAt[k]);
    return sum;
}

// The table that codes group g in the fewest bits (the first, on a tie).
inline int Cheapest(const Groups& groups, int g, const CostTable& table, int tables)
{
    const Lanes cost = GroupCosts(groups, g, table);
    int best = 0;
    for (int t = 1; t < tables; t++)
        if (cost[t] < cost[best])
            best = t;
    return best;
}

// Each group takes the table that codes it in the fewest bits, and the
// tables' counts follow (the groups that move).  Returns whether any
// selector changed.
bool Assign(const Groups& groups, const CostTable& table, Choice* c)
{
    bool changed = false;
    for (int g = 0; g < groups.count(); g++) {
        const int best = Cheapest(groups, g, table, c->tables);
        if (c->selector[g] != best) {
            c->counts.Move(groups, g, c->selector[g], best);
            c->selector[g] = (uint8_t)best;
            changed = true;
        }
    }
    return changed;
}

// ---- Exact costs -------------------------------------------------------------

CostTable RealCosts(const Choice& c)
{
    CostTable table;
    std::memset(table.of, 0, sizeof table.of);
    for (int t = 0; t < c.tables; t++)
        for (int v = 0; v < MaxAlpha; v++)
            table.of[v][t] = c.length[t][v];
    return table;
}

uint64_t SelectorBits(const std::vector<uint8_t>& selector, int tables)
{
    uint8_t list[MaxTables];
    for (int t = 0; t < tables; t++)
        list[t] = (uint8_t)t;
    uint64_t bits = 0;
    for (uint8_t s : selector) {
        int place = 0;
        while (list[place] != s)
            place++;
        bits += (uint64_t)place + 1;
        std::memmove(list + 1, list, place);
        list[0] = s;
    }
    return bits;
}

// A table is written as its first length in 5 bits, then for each symbol
// two bits a step from the length before and one bit to end.
uint64_t TableBits(const uint8_t* length, int alphaSize)
{
    uint64_t bits = 5;
    for (int v = 0, before = length[0]; v < alphaSize; before = length[v++])
        bits += 1 + 2 * (uint64_t)std::abs(length[v] - before);
    return bits;
}

// The bits of a table and of the counts it codes.
uint64_t CodeBits(const uint32_t* count, const uint8_t* length, int n)
{
    uint64_t bits = TableBits(length, n);
    for (int v = 0; v < n; v++)
        bits += (uint64_t)count[v] * length[v];
    return bits;
}

uint64_t Bits(const Groups& groups, const Choice& c)
{
    uint64_t bits = SelectorBits(c.selector, c.tables);
    for (int t = 0; t < c.tables; t++)
        bits += CodeBits(c.counts.count[t], c.length[t], groups.alphaSize);
    return bits;
}

// ---- Code lengths ------------------------------------------------------------

// Room a length takes in the code, in units of 2^-MaxLength.
inline uint32_t Room(int length)
{
    return 1u << (MaxLength - length);
}

// Huffman's lengths, from the symbols in order of their counts: the two
// lightest of the leaves and the trees made so far (which come in order of
// weight too) are joined, until one tree is left.  Returns the longest.
int HuffmanLengths(const uint32_t* count, const uint16_t* order, int n, uint8_t* length)
{
    uint64_t weight[2 * MaxAlpha];
    int parent[2 * MaxAlpha];
    int leaf = 0, tree = n, made = n;
    auto lightest = [&] {
        const bool takeLeaf = leaf < n && (tree == made || count[order[leaf]] <= weight[tree]);
        return takeLeaf ? leaf++ : tree++;
    };
    for (int i = 0; i < n; i++)
        weight[i] = count[order[i]];
    while (made < 2 * n - 1) {
        const int a = lightest(), b = lightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = made++;
    }
    int depth[2 * MaxAlpha], longest = 0;
    depth[made - 1] = 0;
    for (int i = made - 2; i >= 0; i--)
        depth[i] = depth[parent[i]] + 1;
    for (int i = 0; i < n; i++) {
        length[order[i]] = (uint8_t)std::min(depth[i], 255);
        longest = std::max(longest, depth[i]);
    }
    return longest;
}

// The lengths of at most `limit` bits that code the counts in the fewest
// bits, every symbol given a code: Huffman's, unless some are longer; then
// package-merge (a length is the number of levels at which a symbol's leaf
// is among the items taken).
void FewestBits(const uint32_t* count, int n, uint8_t* length, int limit = MaxLength)
{
    // By count, then by symbol: a radix sort, a byte of the counts at a
    // time from the lowest, keeps symbols of equal count in order.
    uint16_t sorted[2][MaxAlpha], *order = sorted[0], *other = sorted[1];
    uint32_t most = 0;
    for (int v = 0; v < n; v++)
        order[v] = (uint16_t)v, most = std::max(most, count[v]);
    for (int shift = 0; shift < 32 && most >> shift != 0; shift += 8) {
        uint32_t at[257] = {};
        for (int i = 0; i < n; i++)
            at[(count[order[i]] >> shift & 255) + 1]++;
        for (int d = 0; d < 256; d++)
            at[d + 1] += at[d];
        for (int i = 0; i < n; i++)
            other[at[count[order[i]] >> shift & 255]++] = order[i];
        std::swap(order, other);
    }
    if (HuffmanLengths(count, order, n, length) <= limit)
        return;
    // The deepest level holds the leaves; each level above them the leaves
    // merged, by weight, with the pairs of the level below.
    static thread_local uint64_t weight[MaxLength + 1][2 * MaxAlpha];
    static thread_local bool isLeaf[MaxLength + 1][2 * MaxAlpha];
    int size[MaxLength + 1];
    for (int i = 0; i < n; i++)
        weight[limit][i] = count[order[i]], isLeaf[limit][i] = true;
    size[limit] = n;
    for (int j = limit - 1; j >= 1; j--) {
        const int pairs = size[j + 1] / 2;
        int leaf = 0, pair = 0, at = 0;
        while (leaf < n || pair < pairs) {
            const uint64_t packed = pair < pairs ? weight[j + 1][2 * pair] + weight[j + 1][2 * pair + 1] : UINT64_MAX;
            if (leaf < n && count[order[leaf]] <= packed)
                weight[j][at] = count[order[leaf++]], isLeaf[j][at++] = true;
            else
                weight[j][at] = packed, isLeaf[j][at++] = false, pair++;
        }
        size[j] = at;
    }
    // The 2n - 2 lightest items of the top level are taken; the pairs among
    // the items taken at a level take twice as many of the level below.
    std::memset(length, 0, n);
    for (int j = 1, take = 2 * n - 2; j <= limit && take > 0; j++) {
        int leaves = 0;
        for (int i = 0; i < take; i++)
            leaves += isLeaf[j][i];
        for (int i = 0; i < leaves; i++)
            length[order[i]]++;
        take = 2 * (take - leaves);
    }
}

// Table bits around symbol v, were its length l: the steps from the symbol
// before and to the symbol after.
inline int StepBits(const uint8_t* length, int n, int v, int l)
{
    const int before = v > 0 ? length[v - 1] : l, after = v + 1 < n ? length[v + 1] : l;
    return 2 * (std::abs(l - before) + std::abs(after - l));
}

// Gives the room the code has left, a bit at a time, to the symbol that
// gains the most bits (the table's own included) from a code one bit
// shorter, until the code space is full.  A shorter code never costs its
// symbol a bit; the table may take a few more where no symbol gains.  Room
// is left only in units at least as large as the longest code's, so that
// code always fits one bit shorter, and the code space ends up full.
void FillRoom(const uint32_t* count, int n, uint8_t* length)
{
    uint32_t used = 0;
    for (int v = 0; v < n; v++)
        used += Room(length[v]);
    while (used < Room(0)) {
        int best = -1;
        int64_t bestGain = 0;
        for (int v = 0; v < n; v++) {
            if (length[v] <= 1 || used + Room(length[v]) > Room(0))  // one bit shorter doubles its room
                continue;
            const int64_t gain = (int64_t)count[v] + StepBits(length, n, v, length[v]) - StepBits(length, n, v, length[v] - 1);
            if (best < 0 || gain > bestGain)
                best = v, bestGain = gain;
        }
        if (best < 0)
            return;
        used += Room(length[best]);
        length[best]--;
    }
}

// The fewest bits for the counts alone, in a code that fills its space.
void FewestBitsFilled(const uint32_t* count, int n, uint8_t* length)
{
    FewestBits(count, n, length);
    FillRoom(count, n, length);
}

// Lengths that code the counts and the table itself in the fewest bits: for
// a price on the room each length takes in the code, one pass over the
// symbols finds the lengths that cost least (each symbol's bits, its room at
// that price, and the steps from the length before); the price is the lowest
// at which the code fits, and the room then left goes to the symbols that
// gain most from a shorter code.
// `price` (see CostShift) is where the search for it starts, and is left at
// the price found.
void FewestBitsWithTable(const uint32_t* count, int n, uint8_t* length, int64_t* price)
{
    static thread_local uint8_t from[MaxAlpha][MaxLength + 1];
    constexpr int64_t Bit = (int64_t)1 << CostShift, Step = 2 * Bit;
    // Reaching length l from length k costs Step |l - k|.  With each cost
    // kept less Step l, the cheapest way from below (or l itself) is the
    // least cost up to l, the longest on a tie; with those then taken plus
    // Step l, the cheapest way from above (or from below) is the least from
    // l on, the shortest on a tie.  Each pass is one running minimum.
    auto solve = [&](int64_t price, uint8_t* out) {
        int64_t fixed[MaxLength + 1], cost[MaxLength + 1];  // cost: less Step l
        for (int l = 1; l <= MaxLength; l++) {
            fixed[l] = Bit + (price >> l);
            cost[l] = (int64_t)count[0] * l * Bit + (price >> l) - Step * l;
        }
        for (int v = 1; v < n; v++) {
            int64_t below[MaxLength + 1];
            uint8_t via[MaxLength + 1];
            int64_t least = INT64_MAX;
            int at = 0;
            for (int l = 1; l <= MaxLength; l++) {
                const bool take = cost[l] <= least;
                least = take ? cost[l] : least;
                at = take ? l : at;
                below[l] = least + 2 * Step * l;
                via[l] = (uint8_t)at;
            }
            const int64_t bits = (int64_t)count[v] * Bit;
            uint8_t* best = from[v];
            least = INT64_MAX, at = 0;
            for (int l = MaxLength; l >= 1; l--) {
                const bool take = below[l] <= least;
                least = take ? below[l] : least;
                at = take ? via[l] : at;
                best[l] = (uint8_t)at;
                cost[l] = least + fixed[l] + (bits - 2 * Step) * l;
            }
        }
        int l = 1;
        for (int k = 2; k <= MaxLength; k++)
            if (cost[k] + Step * k < cost[l] + Step * l)
                l = k;
        uint64_t used = 0;
        for (int v = n - 1; v >= 0; v--) {
            out[v] = (uint8_t)l;
            used += Room(l);
            if (v > 0)
                l = from[v][l];
        }
        return used;
    };
    // Every price tried that fits leaves its lengths in `length`; the last
    // is the lowest, `high`.
    auto fits = [&](int64_t price) {
        uint8_t trial[MaxAlpha];
        if (solve(price, trial) > Room(0))
            return false;
        std::memcpy(length, trial, n);
        return true;
    };
    int64_t low = *price / 2, high = *price;
    while (!fits(high))
        low = high, high *= 4;
    while (low > 0 && fits(low))
        high = low, low = low > 16 ? low / 4 : 0;
    for (int step = 0; step < 8; step++) {
        const int64_t middle = (low + high) / 2;
        (fits(middle) ? high : low) = middle;
    }
    *price = high;
    FillRoom(count, n, length);
    // The lengths a price gives are the cheapest for the room they take,
    // which may be well short of the whole, and the room left is given out
    // greedily: the fewest bits for the data alone (a complete code) can cost
    // less, table included, and are then taken.
    uint8_t plain[MaxAlpha];
    FewestBitsFilled(count, n, plain);
    if (CodeBits(count, plain, n) < CodeBits(count, length, n))
        std::memcpy(length, plain, n);
}

// Real lengths for each table, and the exact cost.
void SetLengths(const Groups& groups, Choice* c, bool withTable)
{
    const TableCounts& counts = c->counts;
    for (int t = 0; t < c->tables; t++) {
        if (withTable) {
            FewestBitsWithTable(counts.count[t], groups.alphaSize, c->length[t], &c->price[t]);
        } else {
            FewestBitsFilled(counts.count[t], groups.alphaSize, c->length[t]);
        }
    }
    c->bits = Bits(groups, *c);
}

// ---- Refining the selectors -------------------------------------------------------

// Ideal lengths: each symbol's share of its table's counts, in bits, at most
// MaxLength, with half a count given to every symbol so that none is free:
// log2(total + n/2) - log2(count + 1/2), that is log2(2 total + n) -
// log2(2 count + 1).  In 1/32 bits, so that a group's cost under a table (50
// symbols of at most 20 bits) fits in 16 bits and eight tables are costed at once.
constexpr int IdealShift = 5;

inline uint32_t Log2Odd(uint32_t count)  // log2(2 count + 1), as Log2Fixed
{
    static const std::vector<uint32_t> small = [] {
        std::vector<uint32_t> table(4096);
        for (uint32_t x = 0; x < table.size(); x++)
            table[x] = Log2Fixed(2 * (uint64_t)x + 1);
        return table;
    }();
    return count < small.size() ? small[count] : Log2Fixed(2 * (uint64_t)count + 1);
}

CostTable IdealCosts(const Groups& groups, const Choice& c)
{
    const TableCounts& counts = c.counts;
    CostTable table;
    std::memset(table.of, 0, sizeof table.of);
    const uint32_t most = (uint32_t)MaxLength << Log2FixedShift;
    for (int t = 0; t < c.tables; t++) {
        const uint32_t all = Log2Fixed(2 * (uint64_t)counts.total[t] + groups.alphaSize);
        for (int v = 0; v < groups.alphaSize; v++)
            table.of[v][t] = (uint16_t)(std::min(most, all - Log2Odd(counts.count[t][v])) >> (Log2FixedShift - IdealShift));
    }
    return table;
}

// Alternates, with ideal lengths, between making each table for its groups
// and giving each group its best table, until the selectors settle.
void RefineIdeal(const Groups& groups, Choice* c, int passes)
{
    for (int pass = 0; pass < passes; pass++)
        if (!Assign(groups, IdealCosts(groups, *c), c))
            break;
}

// Then, with real lengths that count the table's own bits (which it has),
// while the exact cost falls.
void RefineReal(const Groups& groups, Choice* c, int passes)
{
    for (int pass = 0; pass < passes; pass++) {
        Choice next = *c;
        Assign(groups, RealCosts(next), &next);
        SetLengths(groups, &next, true);
        if (next.bits >= c->bits)
            break;
        *c = std::move(next);
    }
}

// ---- Starts ------------------------------------------------------------------

// Tables that each favour a range of symbols of about equal count, as
// libbzip2 starts: each group takes the table whose range it uses most.
Choice BySymbols(const Groups& groups, const Int32* mtfFreq, Int32 nMTF, int tables)
{
    Choice c;
    c.tables = tables;
    CostTable ranges;
    std::memset(ranges.of, 0, sizeof ranges.of);
    Int32 left = nMTF;
    for (int t = 0, from = 0; t < tables; t++) {
        const Int32 share = left / (tables - t);
        Int32 sum = 0;
        int to = from;
        while (to < groups.alphaSize && (sum < share || to == from))
            sum += mtfFreq[to++];
        for (int v = 0; v < groups.alphaSize; v++)
            ranges.of[v][t] = v >= from && v < to ? 0 : 15;
        left -= sum;
        from = to;
    }
    c.selector.resize(groups.count());
    for (int g = 0; g < groups.count(); g++)
        c.selector[g] = (uint8_t)Cheapest(groups, g, ranges, tables);
    c.counts = TableCounts(groups, c.selector);
    return c;
}

// One more table than a choice has: the groups of its costliest table (by
// ideal lengths) are shared between it and the new one, half to each.
Choice Split(const Groups& groups, const Choice& from)
{
    Choice c = from;
    c.tables = from.tables + 1;
    const CostTable table = IdealCosts(groups, from);
    uint64_t cost[MaxTables] = {};
    int members[MaxTables] = {};
    for (int g = 0; g < groups.count(); g++) {
        cost[from.selector[g]] += GroupCosts(groups, g, table)[from.selector[g]];
        members[from.selector[g]]++;
    }
    const int costliest = (int)(std::max_element(cost, cost + from.tables) - cost);
    for (int g = 0, seen = 0; g < groups.count(); g++)
        if (from.selector[g] == costliest && seen++ < members[costliest] / 2) {
            c.selector[g] = (uint8_t)from.tables;
            c.counts.Move(groups, g, costliest, from.tables);
        }
    return c;
}

// libbzip2's own choice, as it stands in the block's state.
Choice Libbzip2s(const EState* s, const Groups& groups, int tables)
{
    Choice c;
    c.tables = tables;
    c.selector.assign(s->selector, s->selector + groups.count());
    for (int t = 0; t < tables; t++)
        std::memcpy(c.length[t], s->len[t], groups.alphaSize);
    c.counts = TableCounts(groups, c.selector);
    c.bits = Bits(groups, c);
    return c;
}

void KeepSmaller(const Choice& candidate, Choice* best)
{
    if (candidate.bits < best->bits)
        *best = candidate;
}

// The best choice with `tables` tables from its starts, refined with ideal
// lengths, each given real lengths; `fewer` is the best with one table fewer.
Choice BestWith(const Groups& groups, const Int32* mtfFreq, Int32 nMTF, int tables, const Choice& fewer,
                const Effort& effort)
{
    std::vector<Choice> starts;
    if (tables == MinTables || effort.severalStarts)
        starts.push_back(BySymbols(groups, mtfFreq, nMTF, tables));
    if (tables > MinTables)
        starts.push_back(Split(groups, fewer));

    Choice best;
    for (Choice& start : starts) {
        RefineIdeal(groups, &start, effort.idealPasses);
        SetLengths(groups, &start, false);
        KeepSmaller(start, &best);
    }
    return best;
}

// The best of `best` and of a choice for every number of tables.  When
// finishing, each gets lengths that count the table's own bits, and the best
// two are refined with them.
Choice Choose(const Groups& groups, const Int32* mtfFreq, Int32 nMTF, const Effort& effort, Choice best)
{
    std::vector<Choice> each;
    for (int tables = MinTables; tables <= MaxTables; tables++) {
        each.push_back(BestWith(groups, mtfFreq, nMTF, tables, each.empty() ? Choice() : each.back(), effort));
        if (effort.tableBits)
            SetLengths(groups, &each.back(), true);
    }
    std::stable_sort(each.begin(), each.end(), [](const Choice& a, const Choice& b) { return a.bits < b.bits; });
    for (size_t i = 0; i < each.size(); i++) {
        if (i < Finished)
            RefineReal(groups, &each[i], effort.finishingPasses);
        KeepSmaller(each[i], &best);
    }
    return best;
}

}  // namespace

uint64_t SearchBits(const uint16_t* mtfv, int nMTF, int alphaSize, const int32_t* mtfFreq)
{
    const Groups& groups = CountGroups(mtfv, nMTF, alphaSize);
    return Choose(groups, mtfFreq, nMTF, Search, Choice()).bits;
}

void FewestBitsWithin(const uint32_t* count, int n, uint8_t* length, int limit)
{
    FewestBits(count, n, length, limit);
}

void FewestBitsWithTableBits(const uint32_t* count, int n, uint8_t* length)
{
    int64_t price = StartPrice;
    FewestBitsWithTable(count, n, length, &price);
}

}  // namespace tables

extern "C" void KVX_chooseTablesForSize(EState* s, Int32* nGroups, Int32 nSelectors)
{
    using namespace tables;
    const Groups& groups = CountGroups(s->mtfv, s->nMTF, s->nInUse + 2);
    if (groups.count() != nSelectors)
        return;
    const Effort& effort = s->tablesForSize == 3 ? Finish : Search;
    Choice best;
    if (s->tablesForSize >= 2) {
        best = Libbzip2s(s, groups, *nGroups);
        Choice own = best;
        SetLengths(groups, &own, false);
        KeepSmaller(own, &best);
    }
    best = Choose(groups, s->mtfFreq, s->nMTF, effort, std::move(best));
    *nGroups = best.tables;
    std::memcpy(s->selector, best.selector.data(), best.selector.size());
    for (int t = 0; t < best.tables; t++)
        std::memcpy(s->len[t], best.length[t], groups.alphaSize);
}
