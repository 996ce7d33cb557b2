// The strings the induced sort is checked on against sorting rotations one
// by one, shared by the host tests and the run on a big-endian processor
// (rotation_order_main.cpp): strings of every shape that blocks never are
// (blocks under 32 KB go to libbzip2's sorter), one to 300 symbols of one to
// 256 kinds from any first byte on (so that few kinds also straddle 127 and
// 128, which the types, found eight bytes at a time, tell apart by their top
// bits), a quarter of them made periodic or nearly so, which the sort must
// refuse exactly when some rotations are equal.  Then 400 strings of 2,000
// to 40,000 symbols with stretches copied from elsewhere in them, a few
// levels deep, where prefix doubling meets names alike for long and gives
// way to the induced passes.
#ifndef KVX_ROTATION_TABLE_H
#define KVX_ROTATION_TABLE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

constexpr int RotationRounds = 20400;

// The string of round `round`, from the generator state x.
inline std::vector<unsigned char> RotationCase(int round, uint32_t& x)
{
    auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
    const int n = round < 10000 ? 1 + next() % 12 : round < 20000 ? 1 + next() % 300 : 2000 + next() % 38000;
    const int kinds = 1 << next() % 9, first = next() % 256;
    std::vector<unsigned char> t(n);
    for (auto& c : t)
        c = (unsigned char)(first + next() % kinds);
    for (int i = 0, period = 1 + next() % n; round % 4 == 0 && i + period < n; i++)
        t[i + period] = t[i];
    for (int copies = round < 20000 ? 0 : next() % 4; copies > 0; copies--) {
        const int length = 1 + next() % (n / 4), from = next() % (n - length), to = next() % (n - length);
        std::memmove(&t[to], &t[from], length);
    }
    return t;
}

// The order of t's rotations, found by comparing them one by one; `equal`
// tells whether two of them are equal.
inline std::vector<unsigned> OrderOneByOne(const std::vector<unsigned char>& t, bool& equal)
{
    const size_t n = t.size();
    std::vector<unsigned char> twice(t);
    twice.insert(twice.end(), t.begin(), t.end());
    auto compare = [&](unsigned a, unsigned b) { return std::memcmp(&twice[a], &twice[b], n); };
    std::vector<unsigned> order(n);
    for (size_t i = 0; i < n; i++)
        order[i] = (unsigned)i;
    std::stable_sort(order.begin(), order.end(), [&](unsigned a, unsigned b) { return compare(a, b) < 0; });
    equal = false;
    for (size_t i = 1; i < n; i++)
        equal |= compare(order[i], order[i - 1]) == 0;
    return order;
}

#endif
