// The induced sort on the host tests' strings (rotation_table.h) and a
// block with over 65,536 names one level down, as a program of its own:
// built for a big-endian processor and run under qemu (cmake/host.cmake),
// it shows that the sort reads its strings alike on either.  Sorting the
// rotations one by one is too slow under qemu, so each order is checked as
// the packer checks its blocks', by the walk a decoder makes, and the sort
// must refuse exactly the strings that are a shorter one repeated.  Exits 1
// at the first wrong order, or when a way of ordering the levels below was
// not taken.
#include <cstdio>

#include "induced.h"
#include "rotation_table.h"

namespace {

// 16 letters, each unlike the one before.
std::vector<unsigned char> Letters(size_t n, uint32_t& x)
{
    std::vector<unsigned char> s(n, 'A');
    for (size_t i = 1; i < n; i++)
        x ^= x << 13, x ^= x >> 17, x ^= x << 5, s[i] = (unsigned char)('A' + (s[i - 1] - 'A' + 1 + x % 15) % 16);
    return s;
}

// True when t is a shorter string repeated: its shortest border-free
// period divides its length.
bool Repeated(const std::vector<unsigned char>& t)
{
    const size_t n = t.size();
    std::vector<size_t> border(n + 1, 0);
    for (size_t i = 1, k = 0; i < n; i++) {
        while (k > 0 && t[i] != t[k])
            k = border[k];
        border[i + 1] = k += t[i] == t[k];
    }
    const size_t period = n - border[n];
    return period < n && n % period == 0;
}

// True when `order` is the order of t's rotations, all distinct: the
// rotation one place before each entry's is the next one in its bucket.
bool IsOrderOfRotations(const std::vector<unsigned char>& t, const std::vector<unsigned>& order, const int count[256])
{
    const unsigned n = (unsigned)t.size();
    unsigned next[256], end[256], at = 0;
    for (int c = 0; c < 256; c++)
        next[c] = at, end[c] = at += count[c];
    for (unsigned i = 0; i < n; i++) {
        if (order[i] >= n)
            return false;
        const unsigned before = order[i] != 0 ? order[i] - 1 : n - 1, c = t[before];
        if (next[c] >= end[c] || order[next[c]++] != before)
            return false;
    }
    return true;
}

bool SameOrder(const std::vector<unsigned char>& t, const char* what, int round)
{
    const int n = (int)t.size();
    int count[256] = {};
    for (auto c : t)
        count[c]++;
    const bool equal = Repeated(t);
    std::vector<unsigned> order(n), work(KVX_INDUCED_WORK(n));
    if (KVX_sortRotationsInduced(t.data(), count, order.data(), n, work.data()) == (equal ? 0 : 1) &&
        (equal || IsOrderOfRotations(t, order, count)))
        return true;
    std::printf("%s %d (%d symbols): not the order of its rotations\n", what, round, n);
    return false;
}

}  // namespace

int main()
{
    const bool big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    uint32_t x = 2463534242u;
    for (int round = 0; round < RotationRounds; round++)
        if (!SameOrder(RotationCase(round, x), "round", round))
            return 1;
    if (!SameOrder(Letters(900000, x), "letters", 0))
        return 1;
    unsigned long long levels[KVX_LEVEL_PATHS];
    KVX_inducedLevelCounts(levels);
    const char* const names[KVX_LEVEL_PATHS] = {"names distinct", "doubled", "doubling given up", "16-bit names",
                                                "32-bit names"};
    std::printf("%d strings in the order of their rotations, on a %s-endian processor; levels below:",
                RotationRounds + 1, big ? "big" : "little");
    bool every = true;
    for (int path = 0; path < KVX_LEVEL_PATHS; path++) {
        std::printf(" %s %llu", names[path], levels[path]);
        every &= levels[path] != 0;
    }
    std::printf("\n");
    return every ? 0 : 1;
}
