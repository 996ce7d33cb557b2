// The shape of a bzip2 stream, from its block headers (list --json): its
// blocks, the most Huffman tables a block has, and its longest code.
// libbzip2 writes codes of at most 17 bits, and as few blocks as the level
// allows; --smallest writes more blocks, and codes of up to 20 bits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pack {

class StreamShape {
public:
    // The stream, a piece at a time, then its end.
    void Feed(const uint8_t* data, size_t n);
    void End();

    int blocks() const { return blocks_; }
    int mostTables() const { return mostTables_; }
    int longestCode() const { return longestCode_; }
    // Tables whose code lengths do not fill the code space exactly (some
    // decoders refuse them).
    int incompleteCodes() const { return incompleteCodes_; }

private:
    bool ReadHeader(uint64_t at, int* tables, int* longest, int* incomplete) const;
    void Scan(size_t from, size_t to);

    std::vector<uint8_t> buffer_;
    size_t scanned_ = 0;
    uint64_t window_ = 0;  // the last eight bytes scanned
    int blocks_ = 0, mostTables_ = 0, longestCode_ = 0, incompleteCodes_ = 0;
};

}  // namespace pack
