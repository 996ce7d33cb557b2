// Japanese from the catalogue compiled into the program (the same .mo file
// that Linux installs), for the programs that have no gettext of their own:
// the Windows programs and the page that packs in a browser.  A GNU .mo file
// keeps its original texts sorted, so each lookup is a binary search.
#include <cstring>

#include "messages.h"

extern const unsigned char EmbeddedCatalogue[];
extern const unsigned long EmbeddedCatalogueSize;

namespace pack {
namespace {

bool japanese = false;

uint32_t Word(uint32_t at)
{
    uint32_t v = 0;
    if (at <= EmbeddedCatalogueSize - 4)
        std::memcpy(&v, EmbeddedCatalogue + at, 4);  // little-endian, as msgfmt writes on this machine
    return v;
}

// The text at a table entry (length, offset), or null when it lies outside.
const char* TextAt(uint32_t entry)
{
    const uint32_t length = Word(entry), offset = Word(entry + 4);
    if (offset >= EmbeddedCatalogueSize || length >= EmbeddedCatalogueSize - offset)
        return nullptr;
    return (const char*)EmbeddedCatalogue + offset;
}

}  // namespace

const char* Tr(const char* english)
{
    if (!japanese || EmbeddedCatalogueSize < 28 || Word(0) != 0x950412de)
        return english;
    const uint32_t count = Word(8), originals = Word(12), translations = Word(16);
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const char* original = TextAt(originals + 8 * mid);
        if (original == nullptr)
            return english;
        const int order = std::strcmp(original, english);
        if (order == 0) {
            const char* translated = TextAt(translations + 8 * mid);
            return translated != nullptr && *translated != '\0' ? translated : english;
        }
        if (order < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return english;
}

// A counted text's key in a .mo file is "one\0many", and Japanese has one
// form: the lookup by its first part finds it.
const char* TrPlural(const char* one, const char* many, uint64_t n)
{
    const char* translated = Tr(one);
    return translated != one ? translated : n == 1 ? one : many;
}

void UseJapanese()
{
    japanese = true;
}

}  // namespace pack
