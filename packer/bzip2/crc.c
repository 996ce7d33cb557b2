/* The block CRC of libbzip2 (CRC-32, polynomial 0x04C11DB7, most significant
   bit first), eight bytes a step: slicing-by-8, with tables derived from
   libbzip2's own.  libbzip2 takes one byte a step as it adds each run to the
   block; the packer's libbzip2 takes each stretch of input once it has been
   consumed (input.patch calls in here).  The value is the same: the block
   holds every byte consumed since it began but for the run still pending,
   which a full block leaves to the next one, and which the block takes when
   the stream is flushed or finished. */
#include "crc.h"

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
