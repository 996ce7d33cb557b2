/* Where the packer's block sorter leaves the block's last column (the byte
   before each sorted rotation) for the move-to-front step, which then reads
   it straight through instead of all over the block: in arr2, past the block
   and the few bytes of stream and block header, all that is written there
   before the move-to-front step.  arr2 has four bytes for each byte of the
   largest block. */
#ifndef KVX_LASTCOLUMN_H
#define KVX_LASTCOLUMN_H

#define BZ2_lastColumn(s) ((UChar*)(s)->arr2 + (s)->nblock + 256)

#endif
