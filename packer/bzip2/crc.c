/* The block CRC of libbzip2 (CRC-32, polynomial 0x04C11DB7, most significant
   bit first), eight bytes a step: slicing-by-8, with tables derived from
   libbzip2's own; sixteen bytes a step by carry-less multiplication where
   the processor has it.  libbzip2 takes one byte a step as it adds each run to the
   block; the packer's libbzip2 takes each stretch of input once it has been
   consumed (input.patch calls in here).  The value is the same: the block
   holds every byte consumed since it began but for the run still pending,
   which a full block leaves to the next one, and which the block takes when
   the stream is flushed or finished. */
#include "crc.h"

static UInt32 Table[8][256];
static UInt32 Power128, Power192; /* x^128 and x^192 mod P, P the polynomial with x^32 */

int BZ2_crcBySlicesForTests = 0;

/* x^k mod P. */
static UInt32 PowerMod(Int32 k)
{
    UInt32 r = 1;
    for (; k > 0; k--)
        r = r << 1 ^ (r >> 31 ? 0x04C11DB7u : 0);
    return r;
}

/* Table[k][b]: the CRC of byte b followed by k zero bytes.  Filled once, as
   the program starts, before any thread compresses, with the powers. */
__attribute__((constructor)) static void MakeTables(void)
{
    Int32 b, k;
    for (b = 0; b < 256; b++) {
        Table[0][b] = BZ2_crc32Table[b];
        for (k = 1; k < 8; k++)
            Table[k][b] = Table[k - 1][b] << 8 ^ BZ2_crc32Table[Table[k - 1][b] >> 24];
    }
    Power128 = PowerMod(128);
    Power192 = PowerMod(192);
}

static UInt32 BigEndian32(const UChar* p)
{
    return (UInt32)p[0] << 24 | (UInt32)p[1] << 16 | (UInt32)p[2] << 8 | p[3];
}

static UInt32 UpdateBySlices(UInt32 crc, const UChar* p, UInt32 n)
{
    for (; n >= 8; p += 8, n -= 8) {
        const UInt32 high = crc ^ BigEndian32(p), low = BigEndian32(p + 4);
        crc = Table[7][high >> 24] ^ Table[6][high >> 16 & 255] ^ Table[5][high >> 8 & 255] ^ Table[4][high & 255] ^
              Table[3][low >> 24] ^ Table[2][low >> 16 & 255] ^ Table[1][low >> 8 & 255] ^ Table[0][low & 255];
    }
    for (; n > 0; p++, n--)
        BZ_UPDATE_CRC(crc, *p);
    return crc;
}

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define FOLDING __attribute__((target("pclmul,ssse3")))

/* Sixteen bytes as one 128-bit polynomial, the first byte's top bit the
   highest power. */
FOLDING static __inline__ __m128i LoadBig(const UChar* p)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)p), reverse);
}

/* The CRC register after n bytes, n at least 16, sixteen bytes a step with
   carry-less multiplies: the register after a stretch is (X x^32) mod P for
   X the stretch's polynomial with the register before added to its top 32
   bits, and X x^128 is congruent to its high half times x^192 mod P plus
   its low half times x^128 mod P, which fit in 128 bits again.  What is
   left of X is taken to 32 bits by the tables, as sixteen bytes of data
   from a register of 0. */
FOLDING static UInt32 UpdateByFolding(UInt32 crc, const UChar* p, UInt32 n)
{
    const __m128i powers = _mm_set_epi64x(Power128, Power192);
    UChar rest[16];
    __m128i x = _mm_xor_si128(LoadBig(p), _mm_slli_si128(_mm_cvtsi32_si128((int)crc), 12));
    for (p += 16, n -= 16; n >= 16; p += 16, n -= 16)
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, powers, 0x01), _mm_clmulepi64_si128(x, powers, 0x10)),
                          LoadBig(p));
    _mm_storeu_si128((__m128i*)rest, LoadBig((const UChar*)&x));
    return UpdateBySlices(UpdateBySlices(0, rest, 16), p, n);
}

UInt32 BZ2_crcUpdate(UInt32 crc, const UChar* p, UInt32 n)
{
    if (n >= 64 && !BZ2_crcBySlicesForTests && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3"))
        return UpdateByFolding(crc, p, n);
    return UpdateBySlices(crc, p, n);
}

#else

UInt32 BZ2_crcUpdate(UInt32 crc, const UChar* p, UInt32 n)
{
    return UpdateBySlices(crc, p, n);
}

#endif

BZ2_crcMark BZ2_crcMarkInput(const EState* s)
{
    BZ2_crcMark mark;
    mark.first = (const UChar*)s->strm->next_in;
    mark.pending = s->state_in_ch < 256 ? (UInt32)s->state_in_len : 0;
    mark.pendingByte = s->state_in_ch;
    return mark;
}

void BZ2_crcAddConsumed(EState* s, BZ2_crcMark mark)
{
    const UInt32 consumed = (UInt32)((const UChar*)s->strm->next_in - mark.first);
    const UInt32 pending = s->state_in_ch < 256 ? (UInt32)s->state_in_len : 0;
    UInt32 i;
    if (pending > consumed)
        return; /* the run pending before goes on: nothing reached the block */
    for (i = 0; i < mark.pending; i++)
        BZ_UPDATE_CRC(s->blockCRC, (UChar)mark.pendingByte);
    s->blockCRC = BZ2_crcUpdate(s->blockCRC, mark.first, consumed - pending);
}

void BZ2_crcAddPendingRun(EState* s)
{
    Int32 i;
    for (i = 0; s->state_in_ch < 256 && i < s->state_in_len; i++)
        BZ_UPDATE_CRC(s->blockCRC, (UChar)s->state_in_ch);
}
