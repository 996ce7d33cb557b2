/* Huffman tables and selectors of a block chosen for size, for --smallest. */
#ifndef KVX_TABLES_H
#define KVX_TABLES_H

#include "bzlib_private.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Chooses 2 to 6 tables for the block's move-to-front symbols, the table of
   each group of 50 and each table's code lengths (up to 20 bits), counting
   what the data, the selectors and the tables cost to write; s->tablesForSize
   says how hard (1 to 3, as BZ2_bzCompressTablesForSize).  From 2 on,
   libbzip2's own choice is in s->len, s->selector and *nGroups on entry,
   and stays unless this one is smaller. */
void KVX_chooseTablesForSize(EState* s, Int32* nGroups, Int32 nSelectors);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstdint>
namespace tables {
/* log2(x) for x >= 1, in units of 2^-Log2FixedShift, the same on every
   machine: the whole part from the top bit, then the fraction a bit at a
   time, squaring the rest (truncated, so at most a few units low). */
const int Log2FixedShift = 16;
inline uint32_t Log2Fixed(uint64_t x)
{
    const int top = 63 - __builtin_clzll(x);
    uint64_t rest = top >= 31 ? x >> (top - 31) : x << (31 - top);  /* x / 2^top, in [1, 2), in units of 2^-31 */
    uint32_t log = (uint32_t)top << Log2FixedShift;
    for (int bit = Log2FixedShift - 1; bit >= 0; bit--) {
        rest = rest * rest >> 31;
        if (rest >= (uint64_t)1 << 32)
            rest >>= 1, log |= 1u << bit;
    }
    return log;
}

/* The bits of a block's move-to-front symbols (alphaSize of them, each
   counted in mtfFreq) with tables chosen as a search chooses them: data,
   selectors and tables, without the block's header, map or counts. */
uint64_t SearchBits(const uint16_t* mtfv, int nMTF, int alphaSize, const int32_t* mtfFreq);
/* The code lengths of at most `limit` bits (up to 20) that code `count` in
   the fewest bits, every one of the n symbols given a code. */
void FewestBitsWithin(const uint32_t* count, int n, uint8_t* length, int limit);
/* The code lengths of at most 20 bits, filling the code space, that code
   `count` and the table itself in the fewest bits, as the blocks kept are
   finished. */
void FewestBitsWithTableBits(const uint32_t* count, int n, uint8_t* length);
}
#endif

#endif
