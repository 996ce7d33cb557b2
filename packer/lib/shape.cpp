// The shape of a bzip2 stream, read from its block headers: how many blocks,
// the most Huffman tables a block has, the longest code, and the tables
// whose codes leave code space unused.  A block's
// length is not stored, so blocks are found by their 48-bit magic at any bit
// offset, and each header is read (map of bytes used, tables, selectors,
// code lengths) only as far as it is valid; a magic that happens to stand
// inside the coded data almost never starts a valid header.  The data comes
// a piece at a time, so entries of any size are read in little memory.
#include "shape.h"

#include <algorithm>

#include "bzsplice.h"

namespace pack {
namespace {

const uint64_t BlockMagic = (uint64_t)BlockMagicHigh << 24 | BlockMagicLow;
const size_t HeaderAtMost = 40 << 10;  // selectors and six tables of 258 lengths fit well within

// Reads bits from the first at `at`, the most significant first.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size, uint64_t at) : data_(data), bits_((uint64_t)size * 8), at_(at) {}
    bool Read(int count, uint32_t* value)
    {
        if (at_ + (uint64_t)count > bits_)
            return false;
        *value = Bits(data_, (size_t)(bits_ / 8), at_, count);
        at_ += count;
        return true;
    }

private:
    const uint8_t* data_;
    uint64_t bits_, at_;
};

}  // namespace

// The header of a block whose magic ends at bit `at`; false unless valid.
bool StreamShape::ReadHeader(uint64_t at, int* tables, int* longest, int* incomplete) const
{
    BitReader in(buffer_.data(), buffer_.size(), at);
    uint32_t skip, map, word, groups, selectors, v;
    if (!in.Read(32, &skip) || !in.Read(1, &skip) || !in.Read(24, &skip) || !in.Read(16, &map))
        return false;
    int used = 0;
    for (int i = 0; i < 16; i++) {
        if (!(map >> (15 - i) & 1))
            continue;
        if (!in.Read(16, &word))
            return false;
        for (; word != 0; word &= word - 1)
            used++;
    }
    if (used == 0 || !in.Read(3, &groups) || groups < 2 || groups > 6 || !in.Read(15, &selectors) || selectors == 0)
        return false;
    for (uint32_t s = 0; s < selectors; s++) {
        for (uint32_t ones = 0;; ones++) {
            if (ones >= groups || !in.Read(1, &v))
                return false;
            if (v == 0)
                break;
        }
    }
    *longest = *incomplete = 0;
    for (uint32_t t = 0; t < groups; t++) {
        uint32_t length, room = 0;  // the code space the lengths take, in units of 2^-20
        if (!in.Read(5, &length))
            return false;
        for (int symbol = 0; symbol < used + 2; symbol++) {
            for (;;) {
                if (length < 1 || length > 20 || !in.Read(1, &v))
                    return false;
                if (v == 0)
                    break;
                if (!in.Read(1, &v))
                    return false;
                length += v == 0 ? 1 : -1;
            }
            *longest = std::max(*longest, (int)length);
            room += 1u << (20 - length);
        }
        *incomplete += room != 1u << 20;
    }
    *tables = (int)groups;
    return true;
}

// Looks for block magics ending in the buffer's bytes [from, to).
void StreamShape::Scan(size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        window_ = window_ << 8 | buffer_[i];
        for (int shift = 0; shift < 8; shift++) {
            if ((window_ >> shift & 0xFFFFFFFFFFFFull) != BlockMagic)
                continue;
            int tables, longest, incomplete;
            if (ReadHeader((uint64_t)(i + 1) * 8 - shift, &tables, &longest, &incomplete)) {
                blocks_++;
                incompleteCodes_ += incomplete;
                mostTables_ = std::max(mostTables_, tables);
                longestCode_ = std::max(longestCode_, longest);
            }
        }
    }
}

void StreamShape::Feed(const uint8_t* data, size_t n)
{
    buffer_.insert(buffer_.end(), data, data + n);
    if (buffer_.size() <= scanned_ + 2 * HeaderAtMost)
        return;
    // Magics are looked for where the header behind them is surely in the buffer.
    const size_t upTo = buffer_.size() - HeaderAtMost;
    Scan(scanned_, upTo);
    buffer_.erase(buffer_.begin(), buffer_.begin() + upTo);
    scanned_ = 0;
}

void StreamShape::End()
{
    Scan(scanned_, buffer_.size());
    scanned_ = buffer_.size();
}

}  // namespace pack
