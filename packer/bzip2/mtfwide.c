/* libbzip2's move-to-front and zero-run coding of a block's last column,
   with the whole list of 256 places in four 64-byte registers (AVX-512 with
   VBMI).  A byte is compared with every place at once and every place up to
   its own moves on by one, in all four registers, with no branch on where it
   was found; the runs of zeros are found 64 bytes at a time, and each is
   written as all its digits at once.  In
   binary data a fifth of the bytes lie past place 8, where libbzip2's loop
   (mtf.h) searches sixteen places a step and goes on or stops either way at
   random.  The values and counts are libbzip2's to the last one. */
#include "bzlib_private.h"
#include "mtf.h"

int BZ2_mtfNarrowForTests = 0;

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,popcnt")))

/* Moves the byte in every lane of `want` to place 0 and returns the place it
   had.  The list holds places 0 to 63 in list[0], and so on. */
WIDE static __inline__ __attribute__((always_inline)) int MoveToFront(__m512i list[4], __m512i want, __m512i back)
{
   const uint64_t m0 = _mm512_cmpeq_epi8_mask(list[0], want), m1 = _mm512_cmpeq_epi8_mask(list[1], want);
   const uint64_t m2 = _mm512_cmpeq_epi8_mask(list[2], want), m3 = _mm512_cmpeq_epi8_mask(list[3], want);
   /* Each register's places up to the byte's: all of them in the registers
      before its own (the mask up to the lowest set bit of none is every
      bit), none in those after. */
   const uint64_t up0 = _blsmsk_u64(m0), up1 = _blsmsk_u64(m1) & -(uint64_t)(m0 == 0);
   const uint64_t up2 = _blsmsk_u64(m2) & -(uint64_t)((m0 | m1) == 0);
   const uint64_t up3 = _blsmsk_u64(m3) & -(uint64_t)((m0 | m1 | m2) == 0);
   /* `back` takes each register one byte on, the last byte of the one
      before (or the byte sought) coming in first. */
   list[3] = _mm512_mask_mov_epi8(list[3], up3, _mm512_permutex2var_epi8(list[3], back, list[2]));
   list[2] = _mm512_mask_mov_epi8(list[2], up2, _mm512_permutex2var_epi8(list[2], back, list[1]));
   list[1] = _mm512_mask_mov_epi8(list[1], up1, _mm512_permutex2var_epi8(list[1], back, list[0]));
   list[0] = _mm512_mask_mov_epi8(list[0], up0, _mm512_permutex2var_epi8(list[0], back, want));
   return (int)(_mm_popcnt_u64(up0) + _mm_popcnt_u64(up1) + _mm_popcnt_u64(up2) + _mm_popcnt_u64(up3)) - 1;
}

/* libbzip2's digits for a run of `run` zeros (RUNA 0, RUNB 1), lowest
   first: the bits of run + 1 below its highest.  Writes 16 values at mtfv
   and more where the run is longer; returns how many are digits. */
WIDE static __inline__ __attribute__((always_inline)) int RunDigits(UInt16* mtfv, UInt32 run, Int32* runb)
{
   const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
   const UInt32 value = run + 1;
   const int digits = 31 - __builtin_clz(value);
   int i;
   const __m512i bits = _mm512_and_si512(_mm512_srlv_epi32(_mm512_set1_epi32((int)value), lanes), _mm512_set1_epi32(1));
   _mm256_storeu_si256((__m256i*)mtfv, _mm512_cvtepi32_epi16(bits));
   for (i = 16; i < digits; i++)
      mtfv[i] = (UInt16)(value >> i & 1);
   *runb += __builtin_popcount(value) - 1;
   return digits;
}

/* The coder's state: the list, the values written and the RUNA and RUNB
   counts so far, and where the byte last changed. */
typedef struct {
   __m512i list[4], back;
   UInt16* mtfv;
   Int32 wr, runa, runb, changed;
} Coder;

/* The zeros since the last change, as their digits. */
WIDE static __inline__ __attribute__((always_inline)) void PutZeros(Coder* k, Int32 upTo)
{
   const int digits = RunDigits(k->mtfv + k->wr, (UInt32)(upTo - k->changed - 1), &k->runb);
   k->runa += digits;
   k->wr += digits;
}

/* Position i holds a byte other than the one before it: the zeros before
   it, then its place, one on. */
WIDE static __inline__ __attribute__((always_inline)) void PutChange(Coder* k, Int32 i, UChar c, Int32* mtfFreq)
{
   const int j = MoveToFront(k->list, _mm512_set1_epi8((char)c), k->back);
   PutZeros(k, i);
   k->mtfv[k->wr++] = (UInt16)(j + 1);
   mtfFreq[j + 1]++;
   k->changed = i;
}

/* A byte's place is 0 exactly where it equals the byte before it, which is
   then at the front: so the positions where the column changes are found 64
   at a time by comparing it with itself one on, and only those are moved;
   the rest are the runs of zeros between them.  The first byte is compared
   with place 0, which holds 0 to begin with. */
WIDE static Int32 CodeWide(const UChar* last, Int32 n, const UChar* unseqToSeq, UInt16* mtfv, Int32* mtfFreq)
{
   UChar places[256] __attribute__((aligned(64))), back[64] __attribute__((aligned(64)));
   Coder k;
   Int32 i, at;
   for (i = 0; i < 256; i++)
      places[i] = (UChar)i;
   for (i = 0; i < 4; i++)
      k.list[i] = _mm512_load_si512(places + 64 * i);
   back[0] = 64 + 63; /* the other register's last byte */
   for (i = 1; i < 64; i++)
      back[i] = (UChar)(i - 1);
   k.back = _mm512_load_si512(back);
   k.mtfv = mtfv;
   k.wr = k.runa = k.runb = 0;
   k.changed = -1;
   if (n == 0)
      return 0;
   if (unseqToSeq[last[0]] != 0)
      PutChange(&k, 0, unseqToSeq[last[0]], mtfFreq);
   for (at = 1; at + 64 <= n; at += 64) {
      uint64_t changes = _mm512_cmpneq_epi8_mask(_mm512_loadu_si512(last + at), _mm512_loadu_si512(last + at - 1));
      for (; changes != 0; changes &= changes - 1) {
         i = at + __builtin_ctzll(changes);
         PutChange(&k, i, unseqToSeq[last[i]], mtfFreq);
      }
   }
   for (i = at; i < n; i++)
      if (last[i] != last[i - 1])
         PutChange(&k, i, unseqToSeq[last[i]], mtfFreq);
   PutZeros(&k, n);
   mtfFreq[BZ_RUNA] += k.runa - k.runb;
   mtfFreq[BZ_RUNB] += k.runb;
   return k.wr;
}

int KVX_mtfValuesWide(const unsigned char* last, int n, const unsigned char* unseqToSeq, unsigned short* mtfv, int* mtfFreq)
{
   if (BZ2_mtfNarrowForTests || !__builtin_cpu_supports("avx512bw") || !__builtin_cpu_supports("avx512vbmi") ||
       !__builtin_cpu_supports("bmi") || !__builtin_cpu_supports("popcnt"))
      return -1;
   return CodeWide(last, n, unseqToSeq, mtfv, mtfFreq);
}

#else

int KVX_mtfValuesWide(const unsigned char* last, int n, const unsigned char* unseqToSeq, unsigned short* mtfv, int* mtfFreq)
{
   (void)last, (void)n, (void)unseqToSeq, (void)mtfv, (void)mtfFreq;
   return -1;
}

#endif
