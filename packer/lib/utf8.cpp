// UTF-8 decoded one character at a time, as strictly as iconv: for the
// --exclude patterns everywhere, and for code page 932 in a browser.
#include "pack.h"

namespace pack {

int DecodeUtf8(const std::string& utf8, size_t i, uint32_t* point)
{
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};  // the shortest form's range, by length
    const unsigned char c = (unsigned char)utf8[i];
    const int length = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > utf8.size())
        return 0;
    uint32_t p = length == 1 ? c : c & (0x7F >> length);
    for (int k = 1; k < length; k++) {
        const unsigned char next = (unsigned char)utf8[i + k];
        if ((next & 0xC0) != 0x80)
            return 0;
        p = p << 6 | (next & 0x3F);
    }
    if (p < least[length] || (p >= 0xD800 && p <= 0xDFFF) || p > 0x10FFFF)
        return 0;
    *point = p;
    return length;
}

}  // namespace pack
