/* libbzip2's move-to-front list of 256 byte places, for its compressor and
   for the estimates of --smallest.  Places 0 to 7 are the bytes of a 64-bit
   word, place 0 the lowest, which the caller keeps in a register: a byte is
   found and moved among them with a few integer steps, and most bytes of a
   sorted block are found there.  Places 8 to 255 are `tail`, 16-byte
   aligned, searched and shifted sixteen places at a time with SSE2. */
#ifndef KVX_MTF_H
#define KVX_MTF_H

#include <stdint.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define KVX_MTF_ONES  0x0101010101010101ull
#define KVX_MTF_HIGHS 0x8080808080808080ull

/* Place i holds byte i. */
static __inline__ uint64_t KVX_mtfStart ( unsigned char* tail )
{
   int i;
   for (i = 0; i < 256; i++) tail[i] = (unsigned char)(i + 8); /* past 247: never reached */
   return 0x0706050403020100ull;
}

/* The byte at place 0. */
static __inline__ unsigned char KVX_mtfFront ( uint64_t head )
{
   return (unsigned char)head;
}

/* Places 8 and on, `carry` going to place 8: each place up to the one that
   holds c moves on by one, and c's place gets what was before it.  Returns
   c's place less 8. */
static __inline__ int KVX_mtfTail ( unsigned char* tail, unsigned char c, unsigned char carry )
{
#if defined(__SSE2__)
   const __m128i want  = _mm_set1_epi8 ( (char)c );
   const __m128i index = _mm_setr_epi8 ( 0, 1, 2, 3, 4, 5, 6, 7,
                                         8, 9, 10, 11, 12, 13, 14, 15 );
   __m128i in = _mm_cvtsi32_si128 ( carry );
   int j;
   for (j = 0; j < 256; j += 16) {
      __m128i* at = (__m128i*)(tail + j);
      const __m128i v = _mm_load_si128 ( at );
      const __m128i shifted = _mm_or_si128 ( _mm_slli_si128 ( v, 1 ), in );
      const int found = _mm_movemask_epi8 ( _mm_cmpeq_epi8 ( v, want ) );
      if (found != 0) {
         const int k = __builtin_ctz ( found );
         const __m128i moved = _mm_cmpgt_epi8 ( _mm_set1_epi8 ( (char)(k + 1) ), index );
         _mm_store_si128 ( at, _mm_or_si128 ( _mm_and_si128 ( moved, shifted ),
                                              _mm_andnot_si128 ( moved, v ) ) );
         return j + k;
      }
      _mm_store_si128 ( at, shifted );
      in = _mm_srli_si128 ( v, 15 );
   }
   return -1; /* never: c is in the list */
#else
   int j = 0;
   unsigned char here;
   do {
      here = tail[j];
      tail[j++] = carry;
      carry = here;
   } while (here != c);
   return j - 1;
#endif
}

/* Moves c to place 0 and returns the place it had. */
static __inline__ int KVX_mtfMove ( uint64_t* head, unsigned char* tail, unsigned char c )
{
   const uint64_t h = *head;
   const uint64_t x = h ^ (KVX_MTF_ONES * c);
   /* The high bit of each byte of x that is zero, and maybe of bytes after
      the first such: the lowest is c's place. */
   const uint64_t zero = (x - KVX_MTF_ONES) & ~x & KVX_MTF_HIGHS;
   if (zero != 0) {
      const uint64_t moved = ((zero & (0 - zero)) << 1) - 1; /* places 0 to c's */
      *head = (((h << 8) | c) & moved) | (h & ~moved);
      return __builtin_ctzll ( zero ) >> 3;
   }
   *head = (h << 8) | c;
   return 8 + KVX_mtfTail ( tail, c, (unsigned char)(h >> 56) );
}

#ifdef __cplusplus
extern "C" {
#endif

/* The whole of libbzip2's move-to-front and zero-run coding of the n bytes
   of a block's last column, each mapped by unseqToSeq, with the list of 256
   places in vector registers (mtfwide.c).  Writes the values into mtfv,
   which has room for 16 more than the block needs, adds their counts to
   mtfFreq and returns how many it wrote, the end of block not written.
   Returns -1, writing nothing, where the processor lacks the instructions:
   libbzip2's loop above codes the block then. */
int KVX_mtfValuesWide ( const unsigned char* last, int n, const unsigned char* unseqToSeq,
                        unsigned short* mtfv, int* mtfFreq );

/* Tests only: when set, KVX_mtfValuesWide leaves every block to libbzip2's
   loop. */
extern int BZ2_mtfNarrowForTests;

#ifdef __cplusplus
}
#endif

#endif
