// Every path operation over arbitrary strings of up to 300 bytes, each in a
// buffer no larger than the operation may use, so any overrun is caught.
#include <vector>

#include "archive/archive.h"
#include "fs/fs.h"
#include "fuzz_common.h"

static void Check(bool condition)
{
    if (!condition)
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzRoot();
    if (size < 2 || size > 302)
        return 0;
    const WORD target = (WORD)(data[0] | data[1] << 8);
    const std::string text((const char*)data + 2, size - 2);
    const size_t length = strlen(text.c_str());  // up to the first NUL
    // Path buffers hold 261 bytes; a longer text gets exactly its own size.
    const size_t capacity = length <= 260 ? 261 : length + 1;
    auto fresh = [&] {
        char* buffer = (char*)malloc(capacity);
        memcpy(buffer, text.c_str(), length + 1);
        return buffer;
    };

    char* s = fresh();
    const char* end = s + length;
    auto inside = [&](const char* p) { return p == nullptr || (p >= s && p <= end); };
    Check(inside(FindChar(s, target)));
    Check(inside(FindChar(s, '\\')));
    Check(inside(FindExtension(s)));
    Check(inside(FindFileName(s)));
    Check(inside(SkipPathRoot(s)));
    IsUncPrefix(s);
    PathExists(s);
    IsContainedPath(s);
    if (length > 0)
        IsStoredType(s);
    for (const char* p = s; *p; p = CharNextA(p))
        CharDiffers(p, target);
    free(s);

    s = fresh();
    char* appended = AddTrailingBackslash(s);
    Check(appended == nullptr || (appended >= s && appended <= s + length + 1));
    Check(strlen(s) <= (length < 259 ? length + 1 : length));
    free(s);

    s = fresh();
    StripFileName(s);
    Check(strlen(s) <= length && memcmp(s, text.c_str(), strlen(s)) == 0);
    free(s);

    s = fresh();
    Check(ConvertSlashes(s) == s + length);
    for (const char* p = s; *p; p = CharNextA(p))
        Check(*p != '/');  // none left at a character (a trail byte may be 2F)
    free(s);

    s = fresh();
    CreateDirectoryChain(s);  // no root is set: nothing may be created
    Check(strcmp(s, text.c_str()) == 0);  // the caller's string is never changed
    free(s);
    return 0;
}
