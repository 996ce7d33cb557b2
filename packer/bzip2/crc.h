/* The block CRC of the packer's libbzip2, taken over the input as it is
   consumed rather than byte by byte as runs are added to the block. */
#ifndef KVX_CRC_H
#define KVX_CRC_H

#include "bzlib_private.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where a stretch of input starts, and the run then pending. */
typedef struct {
    const UChar* first;
    UInt32 pending, pendingByte;
} BZ2_crcMark;

BZ2_crcMark BZ2_crcMarkInput(const EState* s);

/* Adds what was consumed since `mark` and went into the block to its CRC. */
void BZ2_crcAddConsumed(EState* s, BZ2_crcMark mark);

/* Adds the pending run, which the block is about to take, to its CRC. */
void BZ2_crcAddPendingRun(EState* s);

/* libbzip2's CRC of n more bytes, eight bytes a step, or sixteen by
   carry-less multiplication where the processor has it. */
UInt32 BZ2_crcUpdate(UInt32 crc, const UChar* p, UInt32 n);

/* Tests only: when set, BZ2_crcUpdate takes eight bytes a step always. */
extern int BZ2_crcBySlicesForTests;

#ifdef __cplusplus
}
#endif

#endif
