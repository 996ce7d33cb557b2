/* The paths a block takes through the packer's block sorter, counted so that
   tests and benchmarks can see which path each block took. */
#ifndef KVX_SORTPATHS_H
#define KVX_SORTPATHS_H

#ifdef __cplusplus
extern "C" {
#endif

enum SortPath {
    SortSmall,       /* under 32 KB: sorted by induced sorting, not tested for random data */
    SortRandom,      /* looks random: libbzip2's sorter, faster there */
    SortPeriodic,    /* a string repeated: libbzip2's sorter, the only one to order equal rotations its way */
    SortInduced,     /* 32 KB or more, not random: sorted by induced sorting */
    SortCheckFailed, /* our order failed its check: libbzip2's sorter (never, unless a fault) */
    SortNoMemory,    /* no memory for our sort: libbzip2's sorter */
    SortGiven,       /* the order given with the block (KVX_giveSortedBlock) passed the check: not sorted */
    SortPathCount
};

/* Copies the number of blocks that took each path since the program started. */
void BZ2_sortPathCounts(unsigned long long counts[SortPathCount]);

/* Until called again on this thread, each block sorted on it is handed,
   once sorted and checked, to `sorted` with `arg`: its bytes (as libbzip2
   holds them, after its run-length coding) and the order of its rotations.
   NULL hands nothing.  For --smallest, which estimates the pieces of a block
   from its order without sorting them again. */
typedef void (*KVX_SortedBlock)(void* arg, const unsigned char* block, const unsigned* order, int n);
void KVX_handSortedBlocks(KVX_SortedBlock sorted, void* arg);

/* Until called again on this thread, a block sorted on it whose bytes are
   the n bytes at `block` takes `order`, each entry less `first`, as its
   order, if that passes the check every order of ours passes; else it is
   sorted.  NULL gives nothing.  For --smallest, which compresses pieces of a
   block whose order it already knows. */
void KVX_giveSortedBlock(const unsigned char* block, const unsigned* order, int n, unsigned first);

/* Tests only: when set, every order of ours is spoiled before its check,
   which must then send the block to libbzip2's sorter: 1 swaps the first and
   last entries, 2 two neighbours in one bucket. */
extern int BZ2_sortSpoilForTests;

#ifdef __cplusplus
}
#endif

#endif
