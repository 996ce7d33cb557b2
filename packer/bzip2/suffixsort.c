/* The packer's block sorter for libbzip2.

   libbzip2 orders the rotations of a block; a suffix sorter orders its
   suffixes, much faster on text and binaries.  The two orders agree except
   for suffixes that are a proper prefix of another suffix: these are the
   block's last L positions, where L is the length of the longest tail of the
   block that also occurs earlier in it.  The block is sorted as cut after its
   rarest byte, which keeps L to a few bytes on most data (the rotations are
   the same wherever it is cut); the L suffixes are taken out of the suffix
   array and put back where their rotations belong.

   Where the tail still repeats too long, or its rotations take too long to
   compare, the block written twice is suffix-sorted instead.  The rest goes to
   libbzip2's own sorter, so that the compressed stream is always libbzip2's
   to the byte: small blocks, blocks that look random (libbzip2 sorts them
   faster), and periodic blocks, whose identical rotations stand in an order
   only libbzip2's sorter reproduces.

   Every order of ours is checked in linear time before it is used, and one
   that fails goes to libbzip2's sorter: a wrong order never reaches a file.
   Each block's path is counted (sortpaths.h). */
#include "bzlib_private.h"
#include "sortpaths.h"

#include <divsufsort.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* libbzip2's own sorter, built from its blocksort.c under this name. */
void BZ2_blockSortStock(EState* s);

enum {
    SmallBlock = 32768,     /* below this libbzip2's sorter is as fast */
    LongestTail = 1024,     /* longer repeated tails: the block is sorted doubled */
    Samples = 1024,         /* three-byte strings sampled to spot random data */
    RandomRepeats = 24,     /* fewer repeats among them than this: random */
    CompareBudget = 8       /* bytes compared while placing the tail, per byte of block */
};

/* ---- Random data ---------------------------------------------------------- */

static int CompareWords(const void* a, const void* b)
{
    const UInt32 x = *(const UInt32*)a, y = *(const UInt32*)b;
    return x < y ? -1 : x > y;
}

/* True when three-byte strings sampled across the block hardly repeat, as in
   compressed or encrypted data: libbzip2's radix sort then finishes almost
   every bucket at once. */
static Bool LooksRandom(const UChar* block, Int32 n)
{
    UInt32 words[Samples];
    const Int32 step = (n - 3) / Samples;
    Int32 i, repeats = 0;
    for (i = 0; i < Samples; i++) {
        const UChar* p = block + (Int32)i * step;
        words[i] = (UInt32)p[0] << 16 | (UInt32)p[1] << 8 | p[2];
    }
    qsort(words, Samples, sizeof words[0], CompareWords);
    for (i = 1; i < Samples; i++)
        repeats += words[i] == words[i - 1];
    return repeats < RandomRepeats;
}

/* ---- Comparing rotations -------------------------------------------------- */

typedef struct {
    const UChar* block;
    const UInt32* rank; /* the inverse of the suffix array */
    Int32 n;
    Int32 tail;         /* where the repeated tail begins */
    int64_t budget;     /* bytes still to be compared before giving up */
} Rotations;

/* The order of the rotations starting at a and b: -1, 1, or 0 when they are
   equal or the budget ran out.  Two positions before the tail are ordered by
   their suffixes' ranks; otherwise the bytes up to the end of the block are
   compared (at most the tail's length), and the rotations go on from there. */
static int CompareRotations(Rotations* r, Int32 a, Int32 b)
{
    for (;;) {
        Int32 run;
        int order;
        if (a < r->tail && b < r->tail)
            return r->rank[a] < r->rank[b] ? -1 : r->rank[a] > r->rank[b];
        run = r->n - (a > b ? a : b);
        order = memcmp(r->block + a, r->block + b, (size_t)run);
        r->budget -= run + 1;
        if (order != 0)
            return order < 0 ? -1 : 1;
        if (r->budget < 0 || a == b)
            return 0;
        a += run;
        b += run;
        if (a == r->n)
            a = 0;
        if (b == r->n)
            b = 0;
    }
}

/* ---- The repeated tail ---------------------------------------------------- */

/* The length of the longest tail of the block that is also a proper prefix of
   another suffix, or -1 when it is LongestTail or more.  A suffix that
   prefixes others comes right before them in the suffix array, so each length
   is checked against one neighbour; every tail shorter than a repeated one
   repeats too.  Only the last positions' ranks are needed: one pass finds them. */
static Int32 RepeatedTail(const UChar* block, const UInt32* sa, Int32 n)
{
    const Int32 watched = n < LongestTail + 1 ? n : LongestTail + 1, first = n - watched;
    Int32 rank[LongestTail + 1];
    Int32 i, length;
    for (i = 0; i < n; i++)
        if ((Int32)sa[i] >= first)
            rank[sa[i] - first] = i;
    for (length = 1; length < watched; length++) {
        const Int32 start = n - length, next = rank[start - first] + 1;
        if (next >= n || n - (Int32)sa[next] <= length ||
            memcmp(block + sa[next], block + start, (size_t)length) != 0)
            return length - 1;
    }
    return -1;
}

/* Where `p` goes among sa[lo..hi) by its rotation: the first entry whose
   rotation is greater, or -1 when the rotations cannot be told apart. */
static Int32 Place(Rotations* r, const Int32* sa, Int32 lo, Int32 hi, Int32 p)
{
    while (lo < hi) {
        const Int32 mid = lo + (hi - lo) / 2;
        const int order = CompareRotations(r, sa[mid], p);
        if (order == 0)
            return -1;
        if (order < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/* Takes the tail's positions out of the suffix array and merges them back in
   rotation order: sorted among themselves by binary insertion (they are few),
   then placed among the others, each search starting where the previous one
   ended.  False when the rotations could not be told apart in time. */
static Bool PlaceTail(Rotations* r, UInt32* sa)
{
    const Int32 n = r->n, kept = r->tail, count = n - kept;
    Int32 tail[LongestTail], at[LongestTail];
    Int32 i, k, lo;

    for (k = 0; k < count; k++) {
        const Int32 where = Place(r, tail, 0, k, kept + k);
        if (where < 0)
            return False;
        memmove(tail + where + 1, tail + where, (size_t)(k - where) * sizeof tail[0]);
        tail[where] = kept + k;
    }

    for (i = 0, k = 0; i < n; i++)
        if ((Int32)sa[i] < kept)
            sa[k++] = sa[i];
    for (k = 0, lo = 0; k < count; k++) {
        lo = Place(r, (const Int32*)sa, lo, kept, tail[k]);
        if (lo < 0)
            return False;
        at[k] = lo;
    }

    /* Merge from the back, in place. */
    for (i = kept - 1, k = count - 1; k >= 0; k--) {
        for (; i >= at[k]; i--)
            sa[i + k + 1] = sa[i];
        sa[at[k] + k] = (UInt32)tail[k];
    }
    return True;
}

/* ---- The sorter ----------------------------------------------------------- */

/* Where to cut the block so that its last byte is its rarest: the rotations
   are the same wherever the block is cut, and its tail then repeats little,
   even where the block as it stands ends inside a long repetition. */
static Int32 CutAfterRarestByte(const UChar* block, Int32 n, Int32 count[256])
{
    Int32 i, rarest = block[n - 1];
    for (i = 0; i < n; i++)
        count[block[i]]++;
    for (i = 0; i < 256; i++)
        if (count[i] > 0 && count[i] < count[rarest])
            rarest = i;
    for (i = n - 1; block[i] != rarest; i--)
        ;
    return i + 1 == n ? 0 : i + 1;
}

/* Sorts the rotations of `text` into `sa`: its suffixes, with the tail's
   order mended.  SortPlain or SortTailMended when done; SortLongTail or
   SortOverBudget when the tail cannot be placed exactly and quickly;
   SortNoMemory when the suffix sorter fails. */
static enum SortPath SortRotations(const UChar* text, UInt32* sa, UInt32* rank, Int32 n)
{
    Rotations r;
    Int32 i, tail;
    if (divsufsort(text, (saidx_t*)sa, n) != 0)
        return SortNoMemory;
    tail = RepeatedTail(text, sa, n);
    if (tail <= 0)
        return tail == 0 ? SortPlain : SortLongTail;
    for (i = 0; i < n; i++)
        rank[sa[i]] = (UInt32)i;
    r.block = text;
    r.rank = rank;
    r.n = n;
    r.tail = n - tail;
    r.budget = (int64_t)CompareBudget * n;
    return PlaceTail(&r, sa) ? SortTailMended : SortOverBudget;
}

/* True when the block is a string repeated twice or more: then some
   rotations are equal, and only libbzip2's sorter puts them in its order.
   Knuth-Morris-Pratt's failure function gives the shortest period; `border`
   has room for n entries. */
static Bool IsPeriodic(const UChar* text, Int32 n, Int32* border)
{
    Int32 i, k = 0;
    border[0] = 0;
    for (i = 1; i < n; i++) {
        while (k > 0 && text[i] != text[k])
            k = border[k - 1];
        if (text[i] == text[k])
            k++;
        border[i] = k;
    }
    return border[n - 1] > 0 && n % (n - border[n - 1]) == 0;
}

/* ---- Scratch memory ------------------------------------------------------- */

/* `perPosition` bytes for each position of the largest block at the stream's
   level, from the stream's own allocator: always the same sizes, so that an
   allocator that keeps what it is given back (the packer's workspace) hands
   the same memory out again block after block, and nothing is allocated per
   block. */
static void* Scratch(EState* s, Int32 perPosition)
{
    return s->strm->bzalloc(s->strm->opaque, s->blockSize100k * 100000, perPosition);
}

static void Release(EState* s, void* p)
{
    if (p != NULL)
        s->strm->bzfree(s->strm->opaque, p);
}

/* Sorts the rotations of a block that is not periodic as the suffixes of the
   block written twice, keeping those that start in the first copy: each
   such suffix begins with its whole rotation, so no tail needs mending.
   Twice the work, for the blocks whose tails repeat too long. */
static Bool SortDoubled(EState* s, const UChar* text, UInt32* sa, Int32 n)
{
    UChar* twice = Scratch(s, 2);
    saidx_t* all = Scratch(s, 2 * sizeof *all);
    Bool sorted = False;
    Int32 i, k;
    if (twice != NULL && all != NULL) {
        memcpy(twice, text, (size_t)n);
        memcpy(twice + n, text, (size_t)n);
        sorted = divsufsort(twice, all, n * 2) == 0;
        for (i = 0, k = 0; sorted && i < n * 2; i++)
            if (all[i] < n)
                sa[k++] = (UInt32)all[i];
    }
    Release(s, twice);
    Release(s, all);
    return sorted;
}

/* ---- The check ------------------------------------------------------------ */

/* Turns the order of the rotations of the block cut `cut` bytes in into
   positions of the block itself, in place, and gives each position its rank
   in that order.  False when the order names a position outside the block. */
static Bool MapToBlock(UInt32* order, UInt32* rank, Int32 n, Int32 cut)
{
    enum { Ahead = 16 };
    Int32 i;
    for (i = 0; i < n; i++) {
        UInt32 p = order[i];
        if (p >= (UInt32)n)
            return False;
        p = p + cut < (UInt32)n ? p + cut : p + cut - n;
        if (i + Ahead < n) {
            const UInt32 ahead = order[i + Ahead] + cut;
            __builtin_prefetch(&rank[ahead < (UInt32)n ? ahead : ahead - n], 1);
        }
        order[i] = p;
        rank[p] = (UInt32)i;
    }
    return True;
}

/* True when `order` is the order of the rotations of `block`, all distinct,
   given the ranks MapToBlock took from it and the count of each byte: a
   permutation of 0..n-1 in which each entry's first byte is at most the
   next's, and where the two are equal, the rotation one place on comes
   earlier too.  Linear: first each position's rank within the bucket of its
   first byte, read in position order (the block straight through); then in
   rank order, each entry ranked where it stands (so no position is listed
   twice) and, within a bucket, the rotations one place on in rising order.
   The random reads are asked for some entries ahead. */
static Bool IsRotationOrder(const UChar* block, const UInt32* order, const UInt32* rank, const Int32 count[256],
                            Int32 n)
{
    enum { Ahead = 16 };
    UInt32 start[257];
    Int32 i, c;
    start[0] = 0;
    for (c = 0; c < 256; c++)
        start[c + 1] = start[c] + (UInt32)count[c];
    for (i = 0; i < n; i++)
        if (rank[i] < start[block[i]] || rank[i] >= start[block[i] + 1])
            return False;
    for (c = 0; c < 256; c++) {
        UInt32 previous = 0;
        for (i = (Int32)start[c]; i < (Int32)start[c + 1]; i++) {
            const UInt32 a = order[i], following = rank[a + 1 == (UInt32)n ? 0 : a + 1];
            if (i + Ahead < n)
                __builtin_prefetch(&rank[order[i + Ahead]]);
            if (rank[a] != (UInt32)i || (i > (Int32)start[c] && previous >= following))
                return False;
            previous = following;
        }
    }
    return True;
}

/* ---- The sorter ----------------------------------------------------------- */

int BZ2_sortSpoilForTests = 0;

static unsigned long long PathCounts[SortPathCount];

void BZ2_sortPathCounts(unsigned long long counts[SortPathCount])
{
    int i;
    for (i = 0; i < SortPathCount; i++)
        counts[i] = __atomic_load_n(&PathCounts[i], __ATOMIC_RELAXED);
}

static Bool SortedHere(enum SortPath path)
{
    return path == SortPlain || path == SortTailMended || path == SortLongTail || path == SortOverBudget;
}

/* Sorts the block's rotations into s->ptr by way of the block cut after its
   rarest byte, and checks the order.  The path taken: one that SortedHere()
   accepts, or one that leaves the block to libbzip2's sorter. */
static enum SortPath SortBySuffixes(EState* s)
{
    Int32 count[256] = {0};
    const Int32 n = s->nblock, cut = CutAfterRarestByte(s->block, n, count);
    UChar* text = Scratch(s, 1);
    UInt32* rank = Scratch(s, sizeof *rank);
    enum SortPath path = SortNoMemory;
    if (text != NULL && rank != NULL) {
        memcpy(text, s->block + cut, (size_t)(n - cut));
        memcpy(text + n - cut, s->block, (size_t)cut);
        path = SortRotations(text, s->ptr, rank, n);
        if ((path == SortLongTail || path == SortOverBudget) && IsPeriodic(text, n, (Int32*)rank))
            path = SortPeriodic;
        else if ((path == SortLongTail || path == SortOverBudget) && !SortDoubled(s, text, s->ptr, n))
            path = SortNoMemory;
        if (SortedHere(path) && BZ2_sortSpoilForTests) {
            const UInt32 first = s->ptr[0];
            s->ptr[0] = s->ptr[n - 1], s->ptr[n - 1] = first;
        }
        if (SortedHere(path) &&
            !(MapToBlock(s->ptr, rank, n, cut) && IsRotationOrder(s->block, s->ptr, rank, count, n)))
            path = SortCheckFailed;
        if (SortedHere(path))
            s->origPtr = (Int32)rank[0];  /* where the block's own rotation stands */
    }
    Release(s, text);
    Release(s, rank);
    return path;
}

void BZ2_blockSort(EState* s)
{
    const enum SortPath path = s->nblock < SmallBlock ? SortSmall
                               : LooksRandom(s->block, s->nblock) ? SortRandom
                                                                  : SortBySuffixes(s);
    __atomic_fetch_add(&PathCounts[path], 1, __ATOMIC_RELAXED);
    if (!SortedHere(path))
        BZ2_blockSortStock(s);
}
