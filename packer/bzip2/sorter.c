/* The packer's block sorter for libbzip2.

   libbzip2 orders the rotations of each block.  The packer orders them by
   induced sorting (induced.cpp), directly on the block as a cycle: linear in
   the block's length, much faster than libbzip2's sorter on text and
   binaries, and on small blocks too.  The compressed stream is always
   libbzip2's to the byte, so some blocks still go to libbzip2's own sorter:
   blocks of 32 KB or more that look random (it sorts them faster), and
   periodic blocks, whose equal rotations stand in an order only libbzip2's
   sorter reproduces.

   Every order of ours is checked in linear time before it is used, and one
   that fails goes to libbzip2's sorter: a wrong order never reaches a file.
   A block whose order the caller already knows (KVX_giveSortedBlock) takes
   it, once it passes the same check, and is not sorted.  Each block's path
   is counted (sortpaths.h). */
#include "bzlib_private.h"
#include "induced.h"
#include "lastcolumn.h"
#include "sortpaths.h"

#include <stdlib.h>
#include <string.h>

/* libbzip2's own sorter, built from its blocksort.c under this name. */
void BZ2_blockSortStock(EState* s);

enum {
    RandomTestFrom = 32768, /* below this, induced sorting is as fast on random data too */
    Samples = 1024,         /* three-byte strings sampled to spot random data */
    RandomRepeats = 24      /* fewer repeats among them than this: random */
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

/* ---- The check ------------------------------------------------------------ */

/* True when `order` is the order of the rotations of `block`, all distinct,
   given the count of each byte; `origPtr` then holds where the block's own
   rotation stands, and `last` the block's last column.  The order is walked
   once, as a decoder would: the
   rotation one place before each entry's must be the next one in its bucket
   (the rotations that begin with its byte).  Every entry then stands in the
   bucket of its first byte, and within a bucket the rotations one place on
   come in rising order: for distinct rotations, that is their order and no
   other.  The walk pairs each entry with a slot of its own, and each slot
   holds the position one before its entry's: so every position is listed.
   The block's bytes are read all over, and asked for some entries ahead. */
static Bool IsRotationOrder(const UChar* block, const UInt32* order, const Int32 count[256], Int32 n, Int32* origPtr,
                            UChar* last)
{
    enum { Ahead = 32 };
    UInt32 next[256], end[256], at = 0;
    Int32 i, c;
    for (c = 0; c < 256; c++) {
        next[c] = at;
        end[c] = at += (UInt32)count[c];
    }
    for (i = 0; i < n; i++) {
        const UInt32 a = order[i], before = a != 0 ? a - 1 : (UInt32)n - 1;
        if (i + Ahead < n && order[i + Ahead] - 1 < (UInt32)n)
            __builtin_prefetch(&block[order[i + Ahead] - 1]);
        if (a >= (UInt32)n)
            return False;
        if (a == 0)
            *origPtr = i;
        c = last[i] = block[before];
        if (next[c] >= end[c] || order[next[c]] != before)
            return False;
        next[c]++;
    }
    return True;
}

/* ---- The sorter ----------------------------------------------------------- */

int BZ2_sortSpoilForTests = 0;

/* Tests only: spoils an order of ours before its check.  1 swaps the first
   and last entries, which stand in different buckets; 2 swaps the first two
   neighbours that begin with the same byte, which only a check within the
   buckets sees. */
static void SpoilOrder(const UChar* block, UInt32* order, Int32 n)
{
    Int32 i = BZ2_sortSpoilForTests == 1 ? n - 1 : 1;
    while (i < n - 1 && block[order[i]] != block[order[i - 1]])
        i++;
    {
        const Int32 other = BZ2_sortSpoilForTests == 1 ? 0 : i - 1;
        const UInt32 first = order[other];
        order[other] = order[i], order[i] = first;
    }
}

static unsigned long long PathCounts[SortPathCount];

void BZ2_sortPathCounts(unsigned long long counts[SortPathCount])
{
    int i;
    for (i = 0; i < SortPathCount; i++)
        counts[i] = __atomic_load_n(&PathCounts[i], __ATOMIC_RELAXED);
}

/* The sorter's work space, from the stream's own allocator and always of the
   size the largest block at the stream's level needs: an allocator that keeps
   what it is given back (the packer's workspace) hands the same memory out
   again block after block, and nothing is allocated per block. */
static UInt32* WorkSpace(EState* s)
{
    return s->strm->bzalloc(s->strm->opaque, KVX_INDUCED_WORK(s->blockSize100k * 100000), sizeof(UInt32));
}

/* The count of each byte of the block, in four tables at once, so that a
   byte that repeats does not wait on its own count. */
static void CountBytes(const UChar* block, Int32 n, Int32 count[256])
{
    Int32 tables[4][256] = {{0}}, i, c;
    for (i = 0; i + 4 <= n; i += 4) {
        tables[0][block[i]]++;
        tables[1][block[i + 1]]++;
        tables[2][block[i + 2]]++;
        tables[3][block[i + 3]]++;
    }
    for (; i < n; i++)
        tables[0][block[i]]++;
    for (c = 0; c < 256; c++)
        count[c] = tables[0][c] + tables[1][c] + tables[2][c] + tables[3][c];
}

/* Sorts the block's rotations into s->ptr, checks the order and sets
   origPtr.  `done` when done (SortSmall or SortInduced); otherwise the path
   that leaves the block to libbzip2's sorter. */
static enum SortPath SortInducing(EState* s, enum SortPath done)
{
    const Int32 n = s->nblock;
    Int32 count[256];
    UInt32* work = WorkSpace(s);
    enum SortPath path;
    if (work == NULL)
        return SortNoMemory;
    CountBytes(s->block, n, count);
    path = KVX_sortRotationsInduced(s->block, count, s->ptr, n, work) ? done : SortPeriodic;
    if (path == done && BZ2_sortSpoilForTests)
        SpoilOrder(s->block, s->ptr, n);
    if (path == done && !IsRotationOrder(s->block, s->ptr, count, n, &s->origPtr, BZ2_lastColumn(s)))
        path = SortCheckFailed;
    s->strm->bzfree(s->strm->opaque, work);
    return path;
}

static __thread const UChar* Given;
static __thread const UInt32* GivenOrder;
static __thread Int32 GivenLength;
static __thread UInt32 GivenFirst;

void KVX_giveSortedBlock(const unsigned char* block, const unsigned* order, int n, unsigned first)
{
    Given = block;
    GivenOrder = order;
    GivenLength = n;
    GivenFirst = first;
}

/* The order given for this block, if there is one for its bytes and it
   passes the check. */
static Bool TakeGiven(EState* s)
{
    const Int32 n = s->nblock;
    Int32 count[256], i;
    if (Given == NULL || GivenLength != n || memcmp(Given, s->block, n) != 0)
        return False;
    for (i = 0; i < n; i++)
        s->ptr[i] = GivenOrder[i] - GivenFirst;
    CountBytes(s->block, n, count);
    return IsRotationOrder(s->block, s->ptr, count, n, &s->origPtr, BZ2_lastColumn(s));
}

/* The block's last column from libbzip2's order, for move-to-front: the
   check writes it for ours. */
static void WriteLastColumn(EState* s)
{
    UChar* last = BZ2_lastColumn(s);
    Int32 i;
    for (i = 0; i < s->nblock; i++)
        last[i] = s->block[s->ptr[i] != 0 ? s->ptr[i] - 1 : s->nblock - 1];
}

static __thread KVX_SortedBlock HandSorted;
static __thread void* HandSortedArg;

void KVX_handSortedBlocks(KVX_SortedBlock sorted, void* arg)
{
    HandSorted = sorted;
    HandSortedArg = arg;
}

/* Sorts the block's rotations into s->ptr and sets origPtr, by the path the
   block takes, and leaves the block's last column for move-to-front. */
void BZ2_blockSort(EState* s)
{
    const enum SortPath path = TakeGiven(s)                 ? SortGiven
                               : s->nblock < RandomTestFrom ? SortInducing(s, SortSmall)
                               : LooksRandom(s->block, s->nblock) ? SortRandom
                                                                  : SortInducing(s, SortInduced);
    __atomic_fetch_add(&PathCounts[path], 1, __ATOMIC_RELAXED);
    if (path != SortInduced && path != SortSmall && path != SortGiven) {
        BZ2_blockSortStock(s);
        WriteLastColumn(s);
    }
    if (HandSorted != NULL)
        HandSorted(HandSortedArg, s->block, s->ptr, s->nblock);
}
