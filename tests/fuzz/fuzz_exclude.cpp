// --exclude patterns over any bytes: the input's first byte says how long the
// pattern is, the rest is a path below an input folder.  Compiling and
// matching must end without fault, and in time that grows no faster than
// the product of the two lengths, so that no pattern can blow up: at most
// 50 ms for the 4 KB inputs `make fuzz` gives, under the sanitizers.
#include <chrono>
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
    const auto start = std::chrono::steady_clock::now();
    const auto matches = pack::ExcludeMatcher(pattern);
    const bool asFile = matches(path, false), asFolder = matches(path, true);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (asFile && !asFolder)
        std::abort();  // whatever matches a file matches a folder of that name
    if (seconds > 0.05 + 1e-7 * (double)(length + 1) * (double)(path.size() + 1)) {
        std::fprintf(stderr, "%.3f s for a pattern of %zu bytes and a path of %zu\n", seconds, length, path.size());
        std::abort();
    }
    return 0;
}
