// --exclude patterns over any bytes: the input's first byte says how long the
// pattern is, the rest is a path below an input folder.  Compiling and
// matching must end without fault, and take no more steps, as the matcher
// counts them, than the product of the two lengths allows: at most 3 a
// pattern byte to compile and 2 (pattern + 1) (path + 1) a match, so that
// no pattern can blow up.  Steps, not a clock, so that a loaded machine
// cannot fail it.
#include <cstdio>
#include <cstdlib>

#include "pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t length = std::min<size_t>(data[0], size - 1);
    const std::string pattern(reinterpret_cast<const char*>(data + 1), length);
    const std::string path(reinterpret_cast<const char*>(data + 1 + length), size - 1 - length);
    uint64_t steps = 0;
    const auto matches = pack::ExcludeMatcher(pattern, &steps);
    // The compile alone, before any match can hide a quadratic compile in its
    // own allowance.  Only work the matcher counts is seen.
    if (steps > 3 * (uint64_t)length) {
        std::fprintf(stderr, "%llu steps to compile a pattern of %zu bytes (at most %llu)\n",
                     (unsigned long long)steps, length, 3 * (unsigned long long)length);
        std::abort();
    }
    const bool asFile = matches(path, false), asFolder = matches(path, true);
    if (asFile && !asFolder)
        std::abort();  // whatever matches a file matches a folder of that name
    const uint64_t bound = 3 * (uint64_t)length + 2 * 2 * (uint64_t)(length + 1) * (path.size() + 1);
    if (steps > bound) {
        std::fprintf(stderr, "%llu steps for a pattern of %zu bytes and a path of %zu (at most %llu)\n",
                     (unsigned long long)steps, length, path.size(), (unsigned long long)bound);
        std::abort();
    }
    return 0;
}
