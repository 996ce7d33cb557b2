/* What the packer's libbzip2 adds to libbzip2's interface (input.patch). */
#ifndef KVX_BZEXTRA_H
#define KVX_BZEXTRA_H

#include <bzlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Makes a stream set up by BZ2_bzCompressInit ready for new input, as a
   stream just set up at the same level, keeping its memory.  Called as
   libbzip2's own functions are (stdcall on 32-bit Windows). */
BZ_EXTERN int BZ_API(BZ2_bzCompressReset)(bz_stream* strm);

/* How the stream's blocks get their Huffman tables: 0 as libbzip2 chooses
   them, as when a stream is set up; chosen for size (tables.cpp) 1 quickly,
   as a search goes, 2 the same but keeping libbzip2's choice where it is
   smaller, 3 with more effort, keeping libbzip2's where smaller. */
BZ_EXTERN int BZ_API(BZ2_bzCompressTablesForSize)(bz_stream* strm, int effort);

#ifdef __cplusplus
}
#endif

#endif
