// The path line's shortening over arbitrary texts and limits.
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/ui.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int limit = (int16_t)(data[0] | data[1] << 8);
    const std::string text((const char*)data + 2, size - 2);
    char* shown = (char*)malloc(PathTextBufferSize);  // exactly the working size
    FitPathText(shown, text.c_str(), limit);
    const size_t length = strlen(shown);
    if (length > MAX_PATH - 1 + 3)
        std::abort();
    // Any limit a control can give (10 or more) is kept.
    if (limit >= 10 && length > (size_t)limit)
        std::abort();
    free(shown);
    return 0;
}
