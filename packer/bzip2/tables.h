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
/* The code lengths of at most `limit` bits (up to 20) that code `count` in
   the fewest bits, every one of the n symbols given a code. */
void FewestBitsWithin(const uint32_t* count, int n, uint8_t* length, int limit);
}
#endif

#endif
