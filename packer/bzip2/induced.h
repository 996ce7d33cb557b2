/* Sorts the rotations of a block directly, by induced sorting. */
#ifndef KVX_INDUCED_H
#define KVX_INDUCED_H

#ifdef __cplusplus
extern "C" {
#endif

/* Entries of work space the sort needs for a block of n bytes: the types, a
   bit a position, at each level, and the buckets of the levels below the
   block, each at most half as long as the one above.  Prefix doubling, below
   the block, takes the room it finds there: where that is too little, it is
   not tried, or gives up when a group outgrows it. */
#define KVX_INDUCED_WORK(n) ((n) + (n) / 16 + 64)

/* Puts the starting positions of the n rotations of `block` into `order`,
   smallest rotation first, given the number of times each byte occurs.
   `work` has room for KVX_INDUCED_WORK(n) entries, aligned for 64-bit words;
   n is at least 1 and below 2^30.  Returns 1, or 0 when the block is a
   shorter string repeated: some rotations are then equal, and `order` is
   left undefined. */
int KVX_sortRotationsInduced(const unsigned char* block, const int count[256], unsigned* order, int n,
                             unsigned* work);

/* How the levels below a block were ordered: with their names all
   distinct; by prefix doubling; by prefix doubling given up, then the
   induced passes; by the induced passes, on names of 16 bits, or of 32.
   Every level counts once among DISTINCT, DOUBLED, NARROW and WIDE.
   KVX_inducedLevelCounts copies the counts since the program started. */
enum {
    KVX_LEVEL_DISTINCT,
    KVX_LEVEL_DOUBLED,
    KVX_LEVEL_DOUBLING_GAVE_UP,
    KVX_LEVEL_NARROW,
    KVX_LEVEL_WIDE,
    KVX_LEVEL_PATHS
};
void KVX_inducedLevelCounts(unsigned long long counts[KVX_LEVEL_PATHS]);

#ifdef __cplusplus
}
#endif

#endif
