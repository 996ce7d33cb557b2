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

#ifdef __cplusplus
}
#endif

#endif
