/* libbzip2's own block sorter, under the name the packer's sorter calls it
   by: for the blocks it orders faster or that only it orders exactly. */
#define BZ2_blockSort BZ2_blockSortStock
#include "blocksort.c"
