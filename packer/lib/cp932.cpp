// Code page 932 without iconv (the page that packs in a browser): the
// mapping glibc's iconv makes, as tables generated from it when the page is
// built (tools/cp932), so that names convert exactly as the packer on Linux
// converts them, refusals included.
#include <algorithm>
#include <cstdint>

#include "pack.h"

namespace pack {

extern const uint32_t Cp932FromUnicode[][2], Cp932ToUnicode[][2];
extern const unsigned Cp932FromUnicodeCount, Cp932ToUnicodeCount;

// The second of the pair whose first is `key`, in a table sorted by the first.
static bool Look(const uint32_t (*table)[2], unsigned count, uint32_t key, uint32_t* value)
{
    const uint32_t(*found)[2] = std::lower_bound(table, table + count, key,
                                                 [](const uint32_t(&entry)[2], uint32_t k) { return entry[0] < k; });
    if (found == table + count || (*found)[0] != key)
        return false;
    *value = (*found)[1];
    return true;
}

bool Utf8ToCp932(const std::string& utf8, std::string* cp932)
{
    cp932->clear();
    for (size_t i = 0; i < utf8.size();) {
        uint32_t point, code;
        const int length = DecodeUtf8(utf8, i, &point);
        if (length == 0 || !Look(Cp932FromUnicode, Cp932FromUnicodeCount, point, &code))
            return false;
        if (code > 0xFF)
            *cp932 += (char)(code >> 8);
        *cp932 += (char)(code & 0xFF);
        i += length;
    }
    return true;
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8)
{
    utf8->clear();
    for (size_t i = 0; i < cp932.size();) {
        const unsigned char c = (unsigned char)cp932[i];
        const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        uint32_t point;
        if (lead && i + 1 >= cp932.size())
            return false;
        if (!Look(Cp932ToUnicode, Cp932ToUnicodeCount, lead ? c << 8 | (unsigned char)cp932[i + 1] : c, &point))
            return false;
        if (point < 0x80) {
            *utf8 += (char)point;
        } else if (point < 0x800) {
            *utf8 += (char)(0xC0 | point >> 6), *utf8 += (char)(0x80 | (point & 63));
        } else {
            *utf8 += (char)(0xE0 | point >> 12), *utf8 += (char)(0x80 | (point >> 6 & 63));
            *utf8 += (char)(0x80 | (point & 63));
        }
        i += lead ? 2 : 1;
    }
    return true;
}

}  // namespace pack
