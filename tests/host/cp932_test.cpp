// The page's code page 932 (tables, no iconv) against glibc's iconv, which
// the packer uses on Linux: every code point, every one- and two-byte code,
// and the malformed UTF-8 iconv refuses, converted the same way or refused
// alike.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <string>

#include "pack.h"

namespace {

// glibc's answer: the converted bytes, or false where it refuses.
bool Iconv(bool toCp932, const std::string& in, std::string* out)
{
    static iconv_t utf8ToCp932 = iconv_open("CP932", "UTF-8"), cp932ToUtf8 = iconv_open("UTF-8", "CP932");
    iconv_t cd = toCp932 ? utf8ToCp932 : cp932ToUtf8;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char buffer[64];
    char* source = const_cast<char*>(in.data());
    char* target = buffer;
    size_t sourceLeft = in.size(), targetLeft = sizeof buffer;
    if (iconv(cd, &source, &sourceLeft, &target, &targetLeft) == (size_t)-1 || sourceLeft != 0)
        return false;
    out->assign(buffer, sizeof buffer - targetLeft);
    return true;
}

// UTF-8 written by hand, surrogates included (they must be refused).
std::string Utf8(uint32_t c)
{
    std::string s;
    if (c < 0x80)
        return s += (char)c;
    if (c < 0x800)
        return s += (char)(0xC0 | c >> 6), s += (char)(0x80 | (c & 63));
    if (c < 0x10000)
        return s += (char)(0xE0 | c >> 12), s += (char)(0x80 | (c >> 6 & 63)), s += (char)(0x80 | (c & 63));
    s += (char)(0xF0 | c >> 18), s += (char)(0x80 | (c >> 12 & 63));
    return s += (char)(0x80 | (c >> 6 & 63)), s += (char)(0x80 | (c & 63));
}

// glibc drops Unicode's tag characters without a word; the packer refuses
// them, as it refuses every character Shift-JIS cannot hold.
void ExpectSameToCp932(const std::string& utf8, uint32_t c)
{
    std::string ours, glibc;
    const bool ok = pack::Utf8ToCp932(utf8, &ours);
    const bool glibcOk = Iconv(true, utf8, &glibc) && !(c >= 0xE0000 && c <= 0xE007F);
    ASSERT_EQ(ok, glibcOk) << "U+" << std::hex << c;
    if (ok)
        ASSERT_EQ(ours, glibc) << "U+" << std::hex << c;
}

TEST(Cp932Tables, EveryCodePointAsGlibcConvertsIt)
{
    int taken = 0;
    for (uint32_t c = 0; c <= 0x10FFFF; c++) {
        ExpectSameToCp932(Utf8(c), c);
        std::string out;
        taken += pack::Utf8ToCp932(Utf8(c), &out);
    }
    EXPECT_GT(taken, 7000);  // ASCII, kana, kanji and NEC's and IBM's extensions
    std::string name;
    EXPECT_TRUE(pack::Utf8ToCp932("配布物/お読みください①～.txt", &name));
    EXPECT_EQ(name, "\x94\x7A\x95\x7A\x95\xA8/\x82\xA8\x93\xC7\x82\xDD\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x87\x40\x81\x60.txt");
}

TEST(Cp932Tables, MalformedUtf8IsRefusedAsGlibcRefusesIt)
{
    const char* cases[] = {
        "\xC0\xAF",          // '/' in two bytes
        "\xE0\x80\xAF",      // '/' in three bytes
        "\xF0\x80\x80\xAF",  // '/' in four bytes
        "\xE0\x9F\xBF",      // U+07FF in three bytes
        "\xED\xA0\x80",      // a surrogate
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xE3\x81",          // cut short
        "\x80",              // a continuation byte alone
        "\xE3\x41\x82",      // a continuation byte missing
        "a\xFF",
    };
    for (const char* c : cases) {
        std::string out;
        EXPECT_FALSE(pack::Utf8ToCp932(c, &out)) << "accepted: " << ::testing::PrintToString(c);
        EXPECT_FALSE(Iconv(true, c, &out)) << "glibc accepted: " << ::testing::PrintToString(c);
    }
}

TEST(Cp932Tables, EveryCodeBackAsGlibcConvertsIt)
{
    for (int first = 0; first < 256; first++) {
        for (int second = -1; second < 256; second++) {
            std::string code(1, (char)first);
            if (second >= 0)
                code += (char)second;
            std::string ours, glibc;
            const bool ok = pack::Cp932ToUtf8(code, &ours), glibcOk = Iconv(false, code, &glibc);
            ASSERT_EQ(ok, glibcOk) << first << " " << second;
            if (ok)
                ASSERT_EQ(ours, glibc) << first << " " << second;
        }
    }
}

}  // namespace
