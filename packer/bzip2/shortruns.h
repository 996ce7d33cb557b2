/* libbzip2's run-length stage keeps runs of up to three equal bytes as they
   are, and writes runs of four to 255 as four bytes and a count.  Eight
   input bytes at a time, for its input stage (input.patch) and for the
   packer's block cutter (bzsplice.cpp), which must end each block where the
   input stage ends it. */
#ifndef KVX_SHORTRUNS_H
#define KVX_SHORTRUNS_H

#include <stdint.h>
#include <string.h>

/* Eight bytes, the first the least significant, on any processor: one load,
   its bytes swapped where the processor is big-endian. */
static __inline__ uint64_t KVX_loadLittle64 ( const unsigned char* p )
{
   uint64_t v;
   memcpy ( &v, p, 8 );
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
   v = __builtin_bswap64 ( v );
#endif
   return v;
}

/* Where no run reaches four bytes in the eight bytes at p, counting the run
   in progress before them (`length` bytes, 1 to 3, of `byte`): the length of
   the run they end with, 1 to 3.  Else 0. */
static __inline__ unsigned KVX_shortRunsEnd ( const unsigned char* p, unsigned byte, unsigned length )
{
   const uint64_t low = 0x7F7F7F7F7F7F7F7FULL, bytes = KVX_loadLittle64 ( p ), x = bytes ^ (bytes << 8 | byte);
   /* The top bit of each byte that equals the one before it: its low seven
      bits plus 0x7F carry into the top bit unless all zero. */
   const uint64_t same = ~(((x & low) + low) | x) & ~low;
   /* A byte is the fourth of a run where it and the two before it each
      equal the byte before them; those before the eight are the run in
      progress. */
   const uint64_t before1 = length >= 2 ? 0x80 : 0, before2 = length >= 3 ? 0x80 : 0;
   if ((same & (same << 8 | before1) & (same << 16 | before1 << 8 | before2)) != 0)
      return 0;
   return 1 + (unsigned)(same >> 63) + (unsigned)(same >> 63 & same >> 55);
}

#endif
