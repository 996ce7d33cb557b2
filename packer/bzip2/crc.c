/* The block CRC of libbzip2 (CRC-32, polynomial 0x04C11DB7, most significant
   bit first), eight bytes a step: slicing-by-8, with tables derived from
   libbzip2's own.  libbzip2 takes one byte a step as it adds each run to the
   block; the packer's libbzip2 takes the bytes of each stretch of input as
   they are consumed (crc.patch), which gives the same value, since every
   byte consumed belongs to the block then being filled. */
#include "bzlib_private.h"

static UInt32 Table[8][256];

/* Table[k][b]: the CRC of byte b followed by k zero bytes.  Filled once, as
   the program starts, before any thread compresses. */
__attribute__((constructor)) static void MakeTables(void)
{
    Int32 b, k;
    for (b = 0; b < 256; b++) {
        Table[0][b] = BZ2_crc32Table[b];
        for (k = 1; k < 8; k++)
            Table[k][b] = Table[k - 1][b] << 8 ^ BZ2_crc32Table[Table[k - 1][b] >> 24];
    }
}

static UInt32 BigEndian32(const UChar* p)
{
    return (UInt32)p[0] << 24 | (UInt32)p[1] << 16 | (UInt32)p[2] << 8 | p[3];
}

UInt32 BZ2_crcUpdate(UInt32 crc, const UChar* p, UInt32 n)
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
