// The packer on the host: encodings, limits, the method choice, determinism,
// and list, test and extract over good and damaged files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <bzlib.h>
#include <nlohmann/json.hpp>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

#include "bzsplice.h"
#include "crc.h"
#include "induced.h"
#include "mtf.h"
#include "shape.h"
#include "sortpaths.h"
#include "tables.h"
#include "pack.h"
#include "rotation_table.h"

namespace fs = std::filesystem;

namespace {

// The real stub, as the packer carries it.
const sfx::Bytes& Stub()
{
    static const sfx::Bytes stub = [] {
        sfx::Bytes b;
        EXPECT_TRUE(sfx::ReadWholeFile(KVX_STUB_PATH, &b));
        return b;
    }();
    return stub;
}

uint16_t Get16(const sfx::Bytes& b, size_t at) { return (uint16_t)(b[at] | b[at + 1] << 8); }
uint32_t Get32(const sfx::Bytes& b, size_t at) { return Get16(b, at) | (uint32_t)Get16(b, at + 2) << 16; }

struct Parsed {
    uint16_t method, attributes, date, time;
    uint32_t packed, unpacked;
    std::string dir, file, data;
};

// The entries of a file, read independently of the packer's own reader.
std::vector<Parsed> Entries(const sfx::Bytes& b)
{
    std::vector<Parsed> entries;
    for (size_t at = sfx::StubSize; at + 28 <= b.size();) {
        Parsed p;
        p.packed = Get32(b, at + 8);
        p.unpacked = Get32(b, at + 12);
        p.date = Get16(b, at + 16);
        p.time = Get16(b, at + 18);
        p.attributes = Get16(b, at + 20);
        p.method = Get16(b, at + 22);
        const uint16_t dl = Get16(b, at + 24), fl = Get16(b, at + 26);
        p.dir.assign((const char*)&b[at + 28], dl);
        p.file.assign((const char*)&b[at + 28 + dl], fl);
        p.data.assign((const char*)&b[std::min(b.size(), at + 28 + dl + fl)], std::min<size_t>(p.packed, b.size() - std::min(b.size(), at + 28 + dl + fl)));
        EXPECT_EQ(Get32(b, at), sfx::SignedByteSum(&b[at + 4], 24 + dl + fl));
        at += 28 + dl + fl + p.packed;
        entries.push_back(p);
    }
    return entries;
}

class Packer : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvxpack.XXXXXX";
        root = mkdtemp(pattern);
        src = root / "src";
        fs::create_directories(src);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }

    void Write(const fs::path& relative, const std::string& content)
    {
        fs::create_directories((src / relative).parent_path());
        std::ofstream(src / relative, std::ios::binary) << content;
    }

    int Run(std::vector<std::string> args)
    {
        std::ostringstream o, e;
        const int code = pack::Main(args, Stub(), o, e);
        out = o.str();
        err = e.str();
        return code;
    }

    sfx::Bytes Output(const std::string& name = "out.exe")
    {
        sfx::Bytes b;
        EXPECT_TRUE(sfx::ReadWholeFile((root / name).string(), &b));
        return b;
    }

    std::string Out(const char* name = "out.exe") { return (root / name).string(); }

    fs::path root, src;
    std::string out, err;
};

std::string Random(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 1;
    for (char& c : s) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = (char)x;
    }
    return s;
}

// The time zone for the life of the object; the one before is put back.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        const char* before = std::getenv("TZ");
        had_ = before != nullptr;
        before_ = had_ ? before : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone()
    {
        had_ ? setenv("TZ", before_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    bool had_;
    std::string before_;
};

// An MS-DOS date and time, written out.
uint16_t DosDate(int year, int month, int day) { return (uint16_t)((year - 1980) << 9 | month << 5 | day); }
uint16_t DosTime(int hour, int minute, int second) { return (uint16_t)(hour << 11 | minute << 5 | second / 2); }

}  // namespace

TEST(PackText, ShiftJisConversion)
{
    std::string sjis, back;
    ASSERT_TRUE(pack::Utf8ToCp932("表ソ能", &sjis));
    EXPECT_EQ(sjis, "\x95\x5c\x83\x5c\x94\x5c");
    ASSERT_TRUE(pack::Cp932ToUtf8(sjis, &back));
    EXPECT_EQ(back, "表ソ能");
    EXPECT_FALSE(pack::Utf8ToCp932("caf\xc3\xa9", &sjis));  // é has no Shift-JIS form
    EXPECT_FALSE(pack::Utf8ToCp932("\xf0\x9f\x98\x80", &sjis));
    EXPECT_FALSE(pack::Utf8ToCp932("a\xf3\xa0\x80\x81" "b", &sjis));  // a tag character: glibc drops it silently
    EXPECT_FALSE(pack::Cp932ToUtf8("\x81", &back));  // a lead byte alone
    ASSERT_TRUE(pack::Utf8ToCp932("", &sjis));
    EXPECT_EQ(sjis, "");
}

TEST(PackText, StoredTypesAndSafeNames)
{
    EXPECT_TRUE(pack::IsStoredTypeName("a.zip"));
    EXPECT_TRUE(pack::IsStoredTypeName("A.Tar.GZ"));
    EXPECT_TRUE(pack::IsStoredTypeName("x.z"));
    EXPECT_FALSE(pack::IsStoredTypeName("a.zipx"));
    EXPECT_FALSE(pack::IsStoredTypeName("a.zi p"));
    EXPECT_FALSE(pack::IsStoredTypeName("noext"));
    EXPECT_FALSE(pack::IsStoredTypeName("d.zip/readme"));

    for (const char* bad : {"../x", "a/../../x", "/abs", "\\abs", "C:x", "a/.. /b", "a/.../b", "CON", "aux.txt",
                            "d/com3/x", "x:stream", "lpt1 .log"})
        EXPECT_FALSE(pack::IsContainedName(bad)) << bad;
    for (const char* good : {"a/b.txt", "..a/b..", "console/CON1", "com10.txt", ".hidden", "表/能.txt"})
        EXPECT_TRUE(pack::IsContainedName(good)) << good;
}

TEST(PackText, ExclusionPatterns)
{
    // Each case takes at most `steps` as the matcher counts them, or where
    // none is given what any pattern may: 3 a pattern byte to compile, and
    // 2 (pattern + 1) (path + 1) to match.
    const struct {
        std::string pattern, path;
        bool directory, excluded;
        uint64_t steps = 0;
    } cases[] = {
        // Without '/': a name at any depth.
        {"*.bak", "a.bak", false, true},            {"*.bak", "deep/er/a.bak", false, true},
        {"*.bak", "a.bak.txt", false, false},       {"*.bak", "A.BAK", false, false},  // case counts on Linux
        {"Thumbs.db", "x/Thumbs.db", false, true},  {".git", "sub/.git", true, true},
        {"?.txt", "a.txt", false, true},            {"?.txt", "ab.txt", false, false},
        {"[ab]*.c", "b1.c", false, true},           {"[!ab]*.c", "b1.c", false, false},
        {"[a-c].o", "c.o", false, true},            {"[a-c].o", "d.o", false, false},
        {"表*.txt", "資料/表1.txt", false, true},   {"?.txt", "表.txt", false, true},  // '?' is a character, not a byte
        {"[", "[", false, true},                    {"a\\*", "a*", false, true},  // no class; an escaped star
        // A ']' right after '[' or '[!' is a member, so these classes close
        // only at a later ']', or never, leaving the '[' a literal.
        {"[]", "[]", false, true},                  {"[!]", "[!]", false, true},
        {"a[]", "a[]", false, true},                {"[]]", "]", false, true},
        {"[!]]", "a", false, true},                 {"[!]]", "]", false, false},
        // A trailing '/': folders only.
        {".git/", "sub/.git", true, true},          {".git/", ".git", false, false},
        // With '/': the path below the input folder.
        {"build/*.o", "build/x.o", false, true},    {"build/*.o", "sub/build/x.o", false, false},
        {"build/*.o", "build/deep/x.o", false, false}, {"/top.txt", "top.txt", false, true},
        {"/top.txt", "a/top.txt", false, false},    {"docs/**", "docs/a/b/c.txt", false, true},
        {"**/cache", "cache", true, true},          {"**/cache", "a/b/cache", true, true},
        {"a/**/z.txt", "a/z.txt", false, true},     {"a/**/z.txt", "a/b/c/z.txt", false, true},
        {"a/**/z.txt", "b/a/z.txt", false, false},  {"*/x", "a/b/x", false, false},
        {"a*b*c*d*e*f*g*h*i*j*k", std::string(200, 'a'), false, false},  // no blow-up
        // 32,000 unclosed '[', each a literal: compiled and matched in steps
        // that grow with the length, not its square (a billion).
        {std::string(32000, '['), std::string(32000, '['), false, true, 200000},
        {std::string(32000, '['), "a/[[", false, false, 100000},
        {std::string(32000, '[') + "]", "[", false, true, 100000},  // one class of 31,999 '['
        // Names that are not UTF-8: a byte that begins no valid sequence
        // stands for itself, never for another character.
        {"*", "a\xE0\x80\xAF", false, true},            // an overlong '/' is no '/'
        {"a/*", "a/\xC0\xAF", false, true},
        {"\xE8\x80\x80", "\xF8\x80\x80", false, false},  // U+8000 against a lead byte past F4
        {"?", "\xF5\x80\x80", false, false},            // three bytes, not one character
        {"???", "\xF5\x80\x80", false, true},
        {"?", "\xED\xA0\x80", false, false},            // a surrogate is three bytes
        {"?", "\xF4\x90\x80\x80", false, false},       // past U+10FFFF
        {"?", "\xF0\x9F\x98\x80", false, true},        // U+1F600 is one character
        {"\xE0*", "\xE0\x80\xAF.txt", false, true},     // the byte E0 matches itself
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern.substr(0, 40) + " on " + c.path.substr(0, 40));
        uint64_t steps = 0;
        EXPECT_EQ(pack::IsExcluded(c.pattern, c.path, c.directory, &steps), c.excluded);
        const uint64_t p = c.pattern.size(), m = c.path.size();
        EXPECT_LE(steps, c.steps != 0 ? c.steps : 3 * p + 2 * (p + 1) * (m + 1));
    }
}

TEST(PackText, DosTimesInTwoSecondStepsAndClamped)
{
    const TimeZone tokyo("Asia/Tokyo");
    const std::time_t when = 981140707;  // 2001-02-03 04:05:07 in Tokyo, 2001-02-02 19:05:07 UTC
    uint16_t date, time;
    bool clamped;
    pack::ToDosDateTime(when, &date, &time, &clamped);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(date, DosDate(2001, 2, 3));
    EXPECT_EQ(time, DosTime(4, 5, 6));  // 7 seconds: the step of 6
    std::time_t back;
    ASSERT_TRUE(pack::FromDosDateTime(date, time, &back));
    EXPECT_EQ(back, when - 1);

    pack::ToDosDateTime(0, &date, &time, &clamped);  // 1970
    EXPECT_TRUE(clamped);
    EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
    pack::ToDosDateTime((std::time_t)4200000000LL, &date, &time, &clamped);  // 2103: still fits
    EXPECT_FALSE(clamped);
    pack::ToDosDateTime((std::time_t)4500000000LL, &date, &time, &clamped);  // 2112
    EXPECT_TRUE(clamped);
    EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
    EXPECT_FALSE(pack::FromDosDateTime((21 << 9) | (13 << 5) | 1, 0, &back));
}

TEST_F(Packer, MethodsNamesAndAttributes)
{
    Write("text.txt", std::string(5000, 'a'));
    Write("empty.txt", "");
    Write("random.bin", Random(5000));
    Write("archive.ZIP", std::string(5000, 'z'));
    Write("表示/能力.txt", "sjis");
    Write("sub/deeper/readonly.txt", "r");
    chmod((src / "sub/deeper/readonly.txt").c_str(), 0444);
    fs::create_directories(src / "emptydir");
    ASSERT_EQ(Run({"-o", Out(), "--title", "題名", "--dest", "C:\\Program Files\\App", src.string()}), 0) << err;
    EXPECT_NE(err.find("emptydir"), std::string::npos) << "an empty directory is reported";

    const sfx::Bytes b = Output();
    EXPECT_EQ(std::string((const char*)&b[768], 4), "\x91\xe8\x96\xbc");  // 題名
    EXPECT_EQ(std::string((const char*)&b[1280]), "C:\\Program Files\\App");
    const std::vector<Parsed> e = Entries(b);
    ASSERT_EQ(e.size(), 6u);
    // Sorted by name at every level.
    EXPECT_EQ(e[0].file, "archive.ZIP");
    EXPECT_EQ(e[0].method, sfx::Stored);
    EXPECT_EQ(e[1].file, "empty.txt");
    EXPECT_EQ(e[1].method, sfx::Bzip2);  // an empty stream: an entry without data would create nothing
    EXPECT_EQ(e[1].unpacked, 0u);
    EXPECT_GT(e[1].packed, 0u);
    EXPECT_EQ(e[2].file, "random.bin");
    EXPECT_EQ(e[2].method, sfx::Stored);  // compression would not make it smaller
    EXPECT_EQ(e[3].dir, "sub\\deeper\\");
    EXPECT_EQ(e[3].attributes, 0x21);
    EXPECT_EQ(e[4].file, "text.txt");
    EXPECT_EQ(e[4].method, sfx::Bzip2);
    EXPECT_LT(e[4].packed, 200u);
    EXPECT_EQ(e[4].attributes, 0x20);
    EXPECT_EQ(e[5].dir, "\x95\x5c\x8e\xa6\\");
    EXPECT_EQ(e[5].file, "\x94\x5c\x97\xcd.txt");

    // A stream no smaller than its file is stored: one byte smaller, as large, one byte larger.
    std::map<long, std::string> bySlack;  // stream size less file size -> the file
    std::string content = Random(400);
    for (size_t i = 0; bySlack.size() < 3 && i < 2000; i++) {
        content += content.substr(i % 50, 2);  // the stream grows more slowly than the file
        const long slack = (long)sfx::Bzip2Compress(sfx::Bytes(content.begin(), content.end()), 9).size() - (long)content.size();
        if (slack >= -1 && slack <= 1)
            bySlack.emplace(slack, content);
    }
    ASSERT_EQ(bySlack.size(), 3u);
    for (const auto& [slack, content] : bySlack) {
        Write("slack/f.bin", content);
        ASSERT_EQ(Run({"-o", Out("slack.exe"), "-q", (src / "slack").string()}), 0) << err;
        const std::vector<Parsed> e = Entries(Output("slack.exe"));
        EXPECT_EQ(e.at(0).method, slack < 0 ? sfx::Bzip2 : sfx::Stored) << slack;
        EXPECT_EQ(e.at(0).packed, content.size() + std::min(slack, 0L)) << slack;
    }

    // --store keeps everything as it is, but an empty file still gets a stream.
    ASSERT_EQ(Run({"-o", Out("stored.exe"), "--store", "-q", src.string()}), 0) << err;
    for (const Parsed& p : Entries(Output("stored.exe")))
        EXPECT_EQ(p.method, p.unpacked == 0 ? sfx::Bzip2 : sfx::Stored) << p.file;
}

TEST_F(Packer, SameInputsGiveTheSameBytes)
{
    for (int i = 0; i < 40; i++)
        Write("d" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".txt", std::string(1000 + i * 100, 'a' + i % 26));
    Write("single.txt", "one");
    ASSERT_EQ(Run({"-o", Out("one.exe"), "--threads", "1", "-q", src.string(), (src / "single.txt").string()}), 0);
    ASSERT_EQ(Run({"-o", Out("four.exe"), "--threads", "4", "-q", src.string(), (src / "single.txt").string()}), 0);
    EXPECT_EQ(Output("one.exe"), Output("four.exe"));
    EXPECT_EQ(Entries(Output("one.exe")).back().file, "single.txt");  // a file argument by its own name

    // Two copies of a tree on two machines, their times later than
    // SOURCE_DATE_EPOCH and different: the same bytes.  An older time stays.
    // Working files are left out by --exclude; .git is not even walked (its loop would fail the run).
    const std::time_t epoch = 1700000000;
    for (const char* copy : {"x", "y"}) {
        fs::copy(src, root / copy, fs::copy_options::recursive);
        for (const auto& f : fs::recursive_directory_iterator(root / copy)) {
            const std::time_t when = epoch + (copy[0] == 'x' ? 1000 : 99999);
            struct utimbuf times = {when, when};
            utime(f.path().c_str(), &times);
        }
        fs::create_directories(root / copy / "d0/.git");
        fs::create_directory_symlink("..", root / copy / "d0/.git/loop");
        std::ofstream(root / copy / "Thumbs.db") << copy;
        std::ofstream(root / copy / "d1/old.bak") << copy;
        std::ofstream(root / copy / "old.txt") << "old";
        struct utimbuf old = {epoch - 86400, epoch - 86400};
        utime((root / copy / "old.txt").c_str(), &old);
    }
    const TimeZone tokyo("Asia/Tokyo");
    setenv("SOURCE_DATE_EPOCH", std::to_string(epoch).c_str(), 1);
    for (const char* copy : {"x", "y"})
        ASSERT_EQ(Run({"-o", Out((std::string(copy) + ".exe").c_str()), "-v", (root / copy).string(), "--exclude", ".git/",
                       "--exclude", "Thumbs.db", "--exclude", "*.bak"}), 0) << err;
    EXPECT_NE(out.find("excluded: Thumbs.db\nexcluded: d0/.git/\nexcluded: d1/old.bak\n3 files and folders excluded\n"),
              std::string::npos) << out;
    EXPECT_EQ(Output("x.exe"), Output("y.exe"));
    // 1700000000 is 2023-11-15 07:13:20 in Tokyo: every later time is written
    // as that; a day earlier stays.
    std::set<std::pair<uint16_t, uint16_t>> times;
    for (const Parsed& p : Entries(Output("x.exe")))
        times.emplace(p.date, p.time);
    EXPECT_EQ(times, (std::set<std::pair<uint16_t, uint16_t>>{{DosDate(2023, 11, 15), DosTime(7, 13, 20)},
                                                              {DosDate(2023, 11, 14), DosTime(7, 13, 20)}}));
    setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
    EXPECT_EQ(Run({"-o", Out("z.exe"), src.string()}), 2);
    EXPECT_NE(err.find("SOURCE_DATE_EPOCH=yesterday is not a number"), std::string::npos) << err;
    unsetenv("SOURCE_DATE_EPOCH");
}

// The icon a file carries: each pixel's palette index, or -1 where the mask
// makes it transparent; empty when there is no 32 x 32, 16-colour image.
std::vector<int> IconOf(const sfx::Bytes& file)
{
    uint32_t at = 0;
    if (!sfx::FindIconImage(file, &at))
        return {};
    std::vector<int> pixels(32 * 32);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++) {
            const int row = 31 - y;  // bottom-up
            const bool transparent = (file[at + 616 + row * 4 + x / 8] >> (7 - x % 8)) & 1;
            pixels[y * 32 + x] = transparent ? -1 : (file[at + 104 + row * 16 + x / 2] >> (x % 2 ? 0 : 4)) & 15;
        }
    return pixels;
}

// The standard 16 colours (VGA's), as red, green, blue: black, maroon,
// green, olive, navy, purple, teal, silver, grey, red, lime, yellow, blue,
// fuchsia, aqua, white.
const uint8_t Vga[16][3] = {{0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},
                            {0, 0, 128},   {128, 0, 128},   {0, 128, 128},   {192, 192, 192},
                            {128, 128, 128}, {255, 0, 0},   {0, 255, 0},     {255, 255, 0},
                            {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};

// The palette the icon image in a file carries, as red, green, blue (it is
// stored as blue, green, red and a zero).
std::vector<std::array<int, 3>> PaletteOf(const sfx::Bytes& file)
{
    uint32_t at = 0;
    std::vector<std::array<int, 3>> palette;
    for (int i = 0; sfx::FindIconImage(file, &at) && i < 16; i++)
        palette.push_back({file[at + 40 + i * 4 + 2], file[at + 40 + i * 4 + 1], file[at + 40 + i * 4]});
    return palette;
}

// A 32 x 32 picture in the standard colours (and transparent pixels, -1) as RGBA.
std::string PictureRgba(const std::vector<int>& picture)
{
    std::string rgba;
    for (int i : picture)
        for (int c = 0; c < 4; c++)
            rgba += (char)(i < 0 ? 0 : c < 3 ? Vga[i][c] : 255);
    return rgba;
}

std::string Png(const std::string& rgba, int width, int height)
{
    int size = 0;
    unsigned char* png = stbi_write_png_to_mem((const unsigned char*)rgba.data(), width * 4, width, height, 4, &size);
    std::string bytes((const char*)png, size);
    STBIW_FREE(png);
    return bytes;
}

std::string Le(uint32_t v, int n)
{
    return std::string((const char*)&v, n);
}

// An ICO file of these images, each with the side its directory gives.
std::string IcoOf(const std::vector<std::pair<int, std::string>>& images)
{
    std::string ico = Le(0, 2) + Le(1, 2) + Le((uint32_t)images.size(), 2), data;
    uint32_t offset = 6 + 16 * (uint32_t)images.size();
    for (const auto& [side, image] : images) {
        ico += std::string{(char)side, (char)side, 0, 0} + Le(1, 2) + Le(32, 2) + Le((uint32_t)image.size(), 4) + Le(offset, 4);
        offset += (uint32_t)image.size();
        data += image;
    }
    return ico + data;
}

// A 32 x 32 picture as an ICO's 32-bit bitmap with alpha, of `bits` bits a
// pixel as its header says: with a BITMAPINFOHEADER, or with `v5` a
// BITMAPV5HEADER whose masks (BI_BITFIELDS) put alpha first and blue last.
std::string Bitmap(const std::string& rgba, bool v5 = false, int bits = 32)
{
    std::string bitmap = Le(v5 ? 124 : 40, 4) + Le(32, 4) + Le(64, 4) + Le(1, 2) + Le(bits, 2) + Le(v5 ? 3 : 0, 4) +
                         std::string(20, '\0');
    if (v5)  // masks of red, green, blue and alpha, then the rest of the header
        bitmap += Le(0x0000FF00, 4) + Le(0x00FF0000, 4) + Le(0xFF000000, 4) + Le(0x000000FF, 4) + std::string(68, '\0');
    for (int y = 31; y >= 0; y--)
        for (int x = 0; x < 32; x++) {
            const char* p = &rgba[(y * 32 + x) * 4];
            bitmap += v5 ? std::string{p[3], p[0], p[1], p[2]} : std::string{p[2], p[1], p[0], p[3]};
        }
    return bitmap + std::string(32 * 4, '\0');  // the mask, unused beside alpha
}

// An ICO file: a 16 x 16 PNG, the picture as a 32-bit bitmap, and a 48 x 48 PNG.
std::string Ico(const std::string& rgba, bool v5 = false)
{
    return IcoOf({{16, Png(std::string(16 * 16 * 4, '\x7f'), 16, 16)},
                  {32, Bitmap(rgba, v5)},
                  {48, Png(std::string(48 * 48 * 4, '\x40'), 48, 48)}});
}

TEST_F(Packer, TheDistributorsIconAndStubsThatCannotBeUsed)
{
    Write("a.txt", "a");
    std::vector<int> picture(32 * 32);
    for (int i = 0; i < 32 * 32; i++)
        picture[i] = i % 32 < 4 || i / 32 > 28 ? -1 : (i % 32 + i / 32) % 16;  // transparent edges, diagonal stripes
    const std::string rgba = PictureRgba(picture);
    std::ofstream(root / "icon.png", std::ios::binary) << Png(rgba, 32, 32);
    std::ofstream(root / "icon.ico", std::ios::binary) << Ico(rgba);
    std::ofstream(root / "icon-v5.ico", std::ios::binary) << Ico(rgba, true);
    ASSERT_EQ(IconOf(Stub()).size(), 32u * 32);
    // The same pixels out of the file, from a PNG and from an ICO's 32 x 32 image.
    for (const char* icon : {"icon.png", "icon.ico", "icon-v5.ico"}) {
        SCOPED_TRACE(icon);
        ASSERT_EQ(Run({"-o", Out(), "-q", "--icon", (root / icon).string(), src.string()}), 0) << err;
        const sfx::Bytes file = Output();
        EXPECT_EQ(IconOf(file), picture);
        std::vector<std::array<int, 3>> vga;
        for (const uint8_t* c : Vga)
            vga.push_back({c[0], c[1], c[2]});
        EXPECT_EQ(PaletteOf(file), vga);
        // Every other byte of the stub as it was.
        uint32_t at = 0;
        ASSERT_TRUE(sfx::FindIconImage(Stub(), &at));
        for (size_t i = 0; i < sfx::StubSize; i++)
            if ((i < at || i >= at + sfx::IconImageSize) && (i < sfx::ConfigBlockOffset || i >= sfx::ConfigBlockOffset + 1024))
                ASSERT_EQ(file[i], Stub()[i]) << i;
    }
    ASSERT_EQ(Run({"list", Out()}), 0);
    EXPECT_NE(out.find(" carries, with the distributor's own icon\n"), std::string::npos) << out;
    ASSERT_EQ(Run({"list", "--json", Out()}), 0);
    EXPECT_EQ(nlohmann::json::parse(out)["stub"]["own_icon"], true);
    EXPECT_EQ(Run({"test", Out()}), 0) << err;

    // A gradient shrunk from 256 x 256 keeps its colours where they were
    // (error diffusion): red grows from left to right and does not change
    // from top to bottom, green falls from top to bottom and does not change
    // from left to right, blue grows towards the bottom right.  Each 8 x 8
    // region of the icon is shrunk from 64 x 64 of the source, whose own
    // mean it keeps: red over x = 0..63 is 31.5, over 192..255 223.5, and
    // blue, (x + y) / 2 rounded down, a quarter less.  The scaler (a
    // Mitchell filter in linear light) keeps a region's mean within half a
    // level of the ramp's (32.0 for 31.5); diffusing the error of 16 colours
    // moves it only by the rounding error its edge pixels pass on to their
    // neighbours, less what theirs pass in, 4.9 at most here.  8 allows for
    // that; a region drawn in one level alone would miss the ends by 31.5 or
    // more (the middle blue, 127.25, lies near the level 128 and tells less).
    std::string gradient;
    for (int i = 0; i < 256 * 256; i++)
        gradient += std::string{(char)(i % 256), (char)(255 - i / 256), (char)((i % 256 + i / 256) / 2), (char)255};
    std::ofstream(root / "gradient.png", std::ios::binary) << Png(gradient, 256, 256);
    ASSERT_EQ(Run({"-o", Out(), "-q", "--icon", (root / "gradient.png").string(), src.string()}), 0) << err;
    const std::vector<int> shrunk = IconOf(Output());
    auto mean = [&](int channel, int x0, int y0) {  // over the 8 x 8 pixels from (x0, y0)
        double sum = 0;
        for (int y = y0; y < y0 + 8; y++)
            for (int x = x0; x < x0 + 8; x++)
                sum += shrunk[y * 32 + x] < 0 ? 1e9 : Vga[shrunk[y * 32 + x]][channel];
        return sum / 64;
    };
    const int Red = 0, Green = 1, Blue = 2, Near = 0, Far = 24;
    const double Low = 31.5, High = 223.5, Middle = (Low + High) / 2, Within = 8;
    for (int y : {Near, Far}) {
        EXPECT_NEAR(mean(Red, Near, y), Low, Within) << y;
        EXPECT_NEAR(mean(Red, Far, y), High, Within) << y;
    }
    for (int x : {Near, Far}) {
        EXPECT_NEAR(mean(Green, x, Near), High, Within) << x;
        EXPECT_NEAR(mean(Green, x, Far), Low, Within) << x;
    }
    EXPECT_NEAR(mean(Blue, Near, Near), Low - 0.25, Within);
    EXPECT_NEAR(mean(Blue, Far, Far), High - 0.25, Within);
    EXPECT_NEAR(mean(Blue, Far, Near), Middle - 0.25, Within);

    // Images and stubs that cannot be used: a reason, and nothing written.
    const std::string png = Png(rgba, 32, 32);
    std::string noPixels = png, huge = png;
    noPixels.replace(16, 4, std::string(4, '\0'));  // IHDR width 0
    huge.replace(16, 8, std::string("\0\0\x59\xD8\0\0\x59\xD8", 8));  // 23,000 x 23,000: refused before it is decoded
    std::string inIco = png;
    inIco.replace(16, 8, std::string("\0\0\x13\x88\0\0\x10\0", 8));  // 5,000 x 4,096
    const std::string hugeInIco = IcoOf({{0, inIco}}), sixteenBits = IcoOf({{32, Bitmap(rgba, false, 16)}});
    sfx::Bytes x86_64 = Stub(), dll = Stub(), foreign = Stub(), finished = Stub();
    finished[sfx::ConfigBlockOffset] = 'T';  // a title
    const uint32_t pe = Get32(Stub(), 0x3C);
    x86_64[pe + 4] = 0x64, x86_64[pe + 5] = 0x86;
    dll[pe + 23] |= 0x20;
    foreign[pe + 4] = 0x64, foreign[pe + 5] = 0xAA;  // ARM64
    const struct {
        const char* option;
        std::string file;
        const char* says;
    } bad[] = {
        {"--icon", "not an image", "is not a PNG or ICO image"},
        {"--icon", png.substr(0, 100), "the image is cut short or damaged"},
        {"--icon", Ico(rgba).substr(0, 300), "the image is cut short or damaged"},
        {"--icon", std::string("\0\0\1\0\0\0", 6), "the image has no pixels"},
        {"--icon", noPixels, "the image has no pixels"},
        {"--icon", huge, "the image is 23,000 x 23,000 pixels; an icon is read up to 4,096 x 4,096"},
        {"--icon", hugeInIco, "the image is 5,000 x 4,096 pixels"},
        {"--icon", sixteenBits, "a bitmap of 16 bits a pixel, whose colours are not read"},
        {"--stub", std::string(4096, 'M'), "is 4,096 bytes, not 53,248"},
        {"--stub", std::string(sfx::StubSize, 'M'), "is not a Windows program"},
        {"--stub", std::string(dll.begin(), dll.end()), "is not a Windows program"},
        {"--stub", std::string(foreign.begin(), foreign.end()), "(machine type 0xAA64), and this file is for 32-bit Windows"},
        {"--stub", std::string(finished.begin(), finished.begin() + sfx::StubSize), "a finished self-extracting file"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.says);
        std::ofstream(root / "bad", std::ios::binary) << c.file;
        fs::remove(Out());
        EXPECT_EQ(Run({"-o", Out(), c.option, (root / "bad").string(), src.string()}), 1);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(Out()));
    }
    // An x86_64 stub is used, with a warning.
    std::ofstream(root / "x86_64.exe", std::ios::binary) << std::string(x86_64.begin(), x86_64.end());
    EXPECT_EQ(Run({"-o", Out(), "--stub", (root / "x86_64.exe").string(), src.string()}), 0);
    EXPECT_NE(err.find("x86_64 program: the file made from it runs on 64-bit Windows only"), std::string::npos) << err;
    // and list tells that stub from the one the packer carries.
    ASSERT_EQ(Run({"list", Out()}), 0);
    EXPECT_NE(out.find("\nstub: not the one kvxsfx-pack 1.0.0 carries\n"), std::string::npos) << out;
    ASSERT_EQ(Run({"list", "--json", Out()}), 0);
    EXPECT_EQ(nlohmann::json::parse(out)["stub"]["carried"], false);
}

TEST_F(Packer, LimitsAreCheckedBeforeAnythingIsWritten)
{
    Write("ok.txt", "ok");
    Write("Docs/Read Me.TXT", "r");
    struct Case {
        std::vector<std::string> extra;
        const char* says;  // nullptr: packs without a word
        int code;
    };
    const std::string long255(255, 't');
    const Case cases[] = {
        {{"--title", long255 + "t"}, "--title", 1},
        {{"--message", std::string(128, 'x') + "あ"}, nullptr, 0},  // 130 bytes in Shift-JIS: fits
        {{"--launch", "café"}, "--launch", 1},
        {{(root / "missing").string()}, "missing", 1},
        {{"--launch", "docs\\read me.txt"}, nullptr, 0},  // compared as Windows does
        {{"--launch", "read me.txt"}, "names no packed file; the closest packed names: Docs/Read Me.TXT, ok.txt", 1},
        {{"--dest", "%ProgramFiles%\\App"}, "does not expand", 1},
        {{"--dest", "App\\here"}, "warning: --dest App\\here is a relative path", 0},
        {{"--dest", "\\\\server\\share"}, nullptr, 0},
        {{"--title", "two\nlines"}, "--title has a line break or a tab", 1},
        {{"--message", "a\ttab"}, "--message has a line break or a tab", 1},
        {{"--exclude", std::string(4096, '[')}, nullptr, 0},  // the longest pattern taken
        {{"--exclude", std::string(4097, '[')}, "an --exclude pattern has 4,097 bytes; at most 4,096 are taken", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra.back().substr(0, 40));
        std::vector<std::string> args = {"-o", Out(), "-q", src.string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const int code = Run(args);
        EXPECT_EQ(code, c.code) << err;
        if (c.says == nullptr)
            EXPECT_EQ(err, "");
        else
            EXPECT_NE(err.find(c.says), std::string::npos) << err;
        if (code == 0) {
            fs::remove(Out());
            continue;
        }
        EXPECT_FALSE(fs::exists(Out()));
        EXPECT_FALSE(fs::exists(Out() + ".partial"));
    }
    // A pattern past the limit is left out of the walk: a missing input is
    // still named, and --launch still finds its file.
    EXPECT_EQ(Run({"-o", Out(), "-q", src.string(), (root / "missing").string(), "--launch", "ok.txt", "--exclude",
                   std::string(4097, '[')}), 1);
    EXPECT_NE(err.find("missing"), std::string::npos) << err;
    EXPECT_EQ(err.find("names no packed file"), std::string::npos) << err;
}

TEST_F(Packer, NamesAndFilesThatCannotBeCarried)
{
    Write("caf\xc3\xa9.txt", "e");
    EXPECT_EQ(Run({"-o", Out(), src.string()}), 1);
    EXPECT_NE(err.find("caf\xc3\xa9.txt"), std::string::npos) << err;
    fs::remove_all(src);

    // 262 bytes of directory name; and names too long to fit below any destination.
    Write(std::string(200, 'a') + "/" + std::string(60, 'b') + "/x", "x");
    EXPECT_EQ(Run({"-o", Out(), src.string()}), 1);
    EXPECT_NE(err.find("at most 259"), std::string::npos) << err;
    fs::remove_all(src);
    // Directory and file parts of 255, 256 (the most that fits below a
    // destination) and 257 bytes together.
    for (size_t joined : {255, 256, 257}) {
        SCOPED_TRACE(joined);
        Write(std::string(200, 'a') + "/" + std::string(joined - 201, 'b'), "x");
        EXPECT_EQ(Run({"-o", Out(), "-q", src.string()}), joined > 256 ? 1 : 0);
        EXPECT_EQ(err.find("would not fit") != std::string::npos, joined > 256) << err;
        EXPECT_EQ(fs::exists(Out()), joined <= 256);
        fs::remove_all(src);
        fs::remove(Out());
    }
    Write(std::string(150, 'a') + "/" + std::string(60, 'b'), "x");
    EXPECT_EQ(Run({"-o", Out(), "-q", src.string()}), 0);
    EXPECT_NE(err.find("warning"), std::string::npos) << err;
    fs::remove_all(src);

    // 4 GiB, as a sparse file: refused before a byte of it is read.
    Write("huge.bin", "");
    ASSERT_EQ(truncate((src / "huge.bin").c_str(), 1LL << 32), 0);
    EXPECT_EQ(Run({"-o", Out("huge.exe"), src.string()}), 1);
    EXPECT_NE(err.find("4 GiB"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(Out("huge.exe")));
}

TEST_F(Packer, OutputInsideTheInputsLinksAndUsage)
{
    Write("a.txt", "a");
    Write("setup.exe", "old");
    EXPECT_EQ(Run({"-o", (src / "setup.exe").string(), src.string()}), 1);
    EXPECT_NE(err.find("also an input"), std::string::npos) << err;
    EXPECT_EQ(Run({"-o", (src / "sub/new.exe").string(), src.string()}), 1);  // would be packed next time
    EXPECT_NE(err.find("lies inside the input"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(src / "sub/new.exe.partial"));

    fs::create_directory_symlink(src, src / "circle");
    EXPECT_EQ(Run({"-o", Out(), src.string()}), 1);
    EXPECT_NE(err.find("circle: a symbolic link leads back into"), std::string::npos) << err;
    fs::remove(src / "circle");
    fs::create_symlink(root / "nowhere", src / "dangling");
    EXPECT_EQ(Run({"-o", Out(), src.string()}), 1);
    fs::remove(src / "dangling");

    EXPECT_EQ(Run({src.string()}), 2);
    EXPECT_EQ(Run({"-o", Out()}), 2);
    EXPECT_EQ(Run({"-o", Out(), "--bogus", src.string()}), 2);
    EXPECT_EQ(Run({"list"}), 2);
    EXPECT_EQ(Run({"--threads", "0", "-o", Out(), src.string()}), 2);
}

TEST_F(Packer, RoundTripThroughExtractKeepsBytesAndTimes)
{
    Write("text.txt", std::string(100000, 'q'));
    Write("bin/random.dat", Random(70000));
    Write("表/empty", "");
    const TimeZone tokyo("Asia/Tokyo");
    struct utimbuf old = {1000000000, 1000000000};  // 2001-09-09 10:46:40 in Tokyo
    utime((src / "text.txt").c_str(), &old);
    ASSERT_EQ(Run({"-o", Out(), "-q", "--title", "題名 \"1\"\\", "--launch", "表/empty", src.string()}), 0) << err;
    ASSERT_EQ(Run({"test", Out()}), 0) << err;
    EXPECT_NE(out.find("3 entries OK"), std::string::npos);
    ASSERT_EQ(Run({"list", "--json", Out()}), 0) << err;
    const nlohmann::json listed = nlohmann::json::parse(out);
    EXPECT_EQ(out, nlohmann::ordered_json::parse(out).dump(2) + "\n");  // written as it is read, laid out as one dump
    EXPECT_EQ(listed["configuration"]["title"], "題名 \"1\"\\");
    EXPECT_EQ(listed["configuration"]["launch"], "表/empty");
    EXPECT_EQ(listed["stub"]["carried"], true);
    EXPECT_TRUE(listed["signature"].is_null());
    EXPECT_EQ(listed["complete"], true);
    std::map<std::string, uint64_t> sizes;
    for (const auto& e : listed["entries"])
        sizes[e["path"]] = e["unpacked"];
    EXPECT_EQ(sizes, (std::map<std::string, uint64_t>{{"bin/random.dat", 70000}, {"text.txt", 100000}, {"表/empty", 0}}));
    EXPECT_EQ(listed["entries"][1]["time"], "2001-09-09 10:46:40");  // text.txt, in local time
    ASSERT_EQ(Run({"list", Out()}), 0) << err;
    EXPECT_NE(out.find("表/empty"), std::string::npos) << out;
    ASSERT_EQ(Run({"extract", Out(), (root / "x").string()}), 0) << err;
    for (const char* name : {"text.txt", "bin/random.dat", "表/empty"}) {
        std::ifstream a(src / name, std::ios::binary), b(root / "x" / name, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}))
            << name;
    }
    struct stat st;
    ASSERT_EQ(stat((root / "x/text.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);  // an even second: kept exactly
}

TEST_F(Packer, DamagedFilesAreReportedAndHostileNamesRefused)
{
    auto entry = [](const std::string& dir, const std::string& file, const std::string& text, bool compress) {
        sfx::Entry e;
        e.dirName = dir;
        e.fileName = file;
        e.unpackedSize = (uint32_t)text.size();
        e.method = compress ? sfx::Bzip2 : sfx::Stored;
        e.data = compress ? sfx::Bzip2Compress(sfx::Bytes(text.begin(), text.end())) : sfx::Bytes(text.begin(), text.end());
        return e;
    };
    auto make = [&](const std::vector<sfx::Bytes>& entries) {
        sfx::WriteWholeFile(Out("d.exe"), sfx::BuildArchive(Stub(), {}, entries));
        fs::remove_all(root / "x");
    };
    sfx::Damage checksum;
    checksum.checksumDelta = 1;
    make({sfx::EncodeEntry(entry("", "first.txt", "1", true)), sfx::EncodeEntry(entry("", "second.txt", "2", true), checksum)});
    EXPECT_EQ(Run({"test", Out("d.exe")}), 1);
    EXPECT_NE(err.find("checksum"), std::string::npos) << err;
    EXPECT_EQ(Run({"extract", Out("d.exe"), (root / "x").string()}), 1);
    EXPECT_TRUE(fs::exists(root / "x/first.txt"));  // what the stub would extract
    EXPECT_FALSE(fs::exists(root / "x/second.txt"));
    // The JSON listing keeps what it read, names that are not Shift-JIS in hex, and says where it stopped.
    make({sfx::EncodeEntry(entry("\x81\x20\\", "ok.txt", "1", true)),
          sfx::EncodeEntry(entry("", "second.txt", "2", true), checksum)});
    EXPECT_EQ(Run({"list", "--json", Out("d.exe")}), 1);
    EXPECT_EQ(out, nlohmann::ordered_json::parse(out).dump(2) + "\n");
    const nlohmann::json listed = nlohmann::json::parse(out);
    ASSERT_EQ(listed["entries"].size(), 1u);
    EXPECT_EQ(listed["entries"][0]["directory_hex"], "81205c");
    EXPECT_EQ(listed["entries"][0]["name"], "ok.txt");
    EXPECT_FALSE(listed["entries"][0].contains("name_hex"));
    EXPECT_EQ(listed["complete"], false);
    EXPECT_NE(listed["problem"].get<std::string>().find("checksum"), std::string::npos) << out;
    EXPECT_EQ(listed["problem_key"], "{file}: the payload ends at offset {offset} with {problem}; the stub would stop there");
    // A file name that is not UTF-8 is written as valid UTF-8, its bytes in hex beside it.
    fs::copy_file(Out("d.exe"), Out("caf\xe9.exe"));
    EXPECT_EQ(Run({"list", "--json", Out("caf\xe9.exe")}), 1);
    const nlohmann::json latin1 = nlohmann::json::parse(out);  // throws on invalid UTF-8
    EXPECT_EQ(latin1["file_hex"].get<std::string>().substr(latin1["file_hex"].get<std::string>().size() - 16),
              "636166e92e657865");

    sfx::Entry corrupt = entry("", "c.txt", std::string(10000, 'c'), true);
    corrupt.data[corrupt.data.size() / 2] ^= 0x20;
    make({sfx::EncodeEntry(corrupt)});
    EXPECT_EQ(Run({"test", Out("d.exe")}), 1);
    sfx::Entry sized = entry("", "s.txt", "abc", false);
    sized.unpackedSize = 4;
    make({sfx::EncodeEntry(sized)});
    EXPECT_EQ(Run({"test", Out("d.exe")}), 1);
    EXPECT_NE(err.find("size"), std::string::npos) << err;
    // Extracted, an entry of another size than it claims is a problem too: a
    // short one stays without its time, a long one is written up to its size
    // and decoded no further.
    EXPECT_EQ(Run({"extract", Out("d.exe"), (root / "x").string()}), 1);
    EXPECT_NE(err.find("size 3 instead of 4"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(root / "x/s.txt"));
    sfx::Entry bomb = entry("", "bomb.txt", std::string(200000, 'b'), true);
    bomb.unpackedSize = 10;
    make({sfx::EncodeEntry(bomb)});
    EXPECT_EQ(Run({"extract", Out("d.exe"), (root / "x").string()}), 1);
    EXPECT_NE(err.find("more than the 10 bytes"), std::string::npos) << err;
    EXPECT_EQ(fs::file_size(root / "x/bomb.txt"), 10u);  // the piece that crossed it, cut at the size claimed
    // Names are split as the stub splits them: '\\' in a file's name and
    // doubled separators make folders, not names holding them.
    make({sfx::EncodeEntry(entry("", "sub\\x.txt", "x", false)), sfx::EncodeEntry(entry("e\\\\", "f.txt", "f", false))});
    ASSERT_EQ(Run({"extract", Out("d.exe"), (root / "x").string()}), 0) << err;
    EXPECT_EQ(out, "sub/x.txt\ne/f.txt\n");
    EXPECT_TRUE(fs::exists(root / "x/sub/x.txt"));
    EXPECT_TRUE(fs::exists(root / "x/e/f.txt"));
    make({sfx::EncodeEntry(entry("", "t\\", "t", false))});  // a file name ending in a separator names no file
    EXPECT_EQ(Run({"extract", Out("d.exe"), (root / "y").string()}), 1);
    EXPECT_FALSE(fs::exists(root / "y/t"));
    sfx::Damage cut;
    cut.packedSize = 99;
    make({sfx::EncodeEntry(entry("", "cut.txt", "abc", false), cut)});
    EXPECT_EQ(Run({"test", Out("d.exe")}), 1);

    for (const char* dir : {"..\\", "a\\..\\..\\", "\\", "C:\\", "con\\"}) {
        SCOPED_TRACE(dir);
        make({sfx::EncodeEntry(entry(dir, "evil.txt", "evil", false))});
        EXPECT_EQ(Run({"extract", Out("d.exe"), (root / "x" / "in").string()}), 1);
        EXPECT_NE(err.find("would leave"), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(root / "x" / "evil.txt"));
        EXPECT_FALSE(fs::exists(root / "evil.txt"));
    }

    // A link inside the destination does not lead the extraction out of it.
    make({sfx::EncodeEntry(entry("link\\", "through.txt", "t", false))});
    fs::create_directories(root / "x");
    fs::create_directory_symlink(root / "elsewhere", root / "x" / "link");
    fs::create_directories(root / "elsewhere");
    EXPECT_EQ(Run({"extract", Out("d.exe"), (root / "x").string()}), 1);
    EXPECT_FALSE(fs::exists(root / "elsewhere" / "through.txt"));
}

// Files signed after packing with osslsigncode and a throwaway certificate.
class Signed : public Packer {
protected:
    static void SetUpTestSuite()
    {
        keys = fs::temp_directory_path() / ("kvxkeys." + std::to_string(getpid()));
        fs::create_directories(keys);
        Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kvxsfx-test -keyout " +
              (keys / "key.pem").string() + " -out " + (keys / "cert.pem").string());
    }
    static void TearDownTestSuite() { fs::remove_all(keys); }
    static int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

    // Packs `src` with the real stub and signs it; returns the signed file's path.
    std::string PackAndSign(const std::string& name, const std::string& extra = "")
    {
        std::vector<std::string> args = {"-o", Out("unsigned.exe"), "--stub", KVX_STUB_PATH, "-q", src.string()};
        if (!icon.empty())
            args.insert(args.end(), {"--icon", icon});
        EXPECT_EQ(Run(args), 0) << err;
        EXPECT_EQ(Sign(Out("unsigned.exe"), Out(name.c_str()), extra), 0);
        return Out(name.c_str());
    }
    int Sign(const std::string& in, const std::string& out, const std::string& extra = "")
    {
        fs::remove(out);
        return Shell("osslsigncode sign " + extra + " -certs " + (keys / "cert.pem").string() + " -key " +
                     (keys / "key.pem").string() + " -in " + in + " -out " + out);
    }
    static sfx::CertificateDirectory Table(const sfx::Bytes& b)
    {
        sfx::CertificateDirectory table;
        EXPECT_TRUE(sfx::FindCertificateDirectory(b.data(), b.size(), &table));
        return table;
    }
    std::string Tree(const fs::path& top)
    {
        std::string all;
        for (auto& f : fs::recursive_directory_iterator(top)) {
            if (!f.is_regular_file())
                continue;
            std::ifstream in(f.path(), std::ios::binary);
            all += f.path().lexically_relative(top).string() + "=" + std::string(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }
    static fs::path keys;
    std::string icon;  // --icon, when set
};
fs::path Signed::keys;

TEST_F(Signed, ReadLikeUnsignedFilesAndNestedSignatures)
{
    Write("表示/能力.txt", std::string(3000, 'n'));
    Write("b.zip", Random(999));
    icon = (root / "icon.png").string();  // the distributor's icon, signed with the rest
    std::ofstream(icon, std::ios::binary) << Png(std::string(32 * 32 * 4, '\x90'), 32, 32);
    const std::string file = PackAndSign("signed.exe");
    EXPECT_EQ(Shell("osslsigncode verify -CAfile " + (keys / "cert.pem").string() + " -in " + file), 0);
    const sfx::CertificateDirectory table = Table(Output("signed.exe"));
    ASSERT_EQ(Run({"list", file}), 0) << err;
    const std::string grouped = std::to_string(table.offset / 1000) + "," + std::to_string(table.offset % 1000 + 1000).substr(1);
    EXPECT_NE(out.find("signature: Authenticode, certificate table of "), std::string::npos) << out;
    EXPECT_NE(out.find("bytes at offset " + grouped + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" carries, with the distributor's own icon\n"), std::string::npos) << out;
    ASSERT_EQ(Run({"list", file, "--json"}), 0) << err;
    const nlohmann::json json = nlohmann::json::parse(out);
    EXPECT_EQ(json["signature"]["offset"], table.offset);
    EXPECT_EQ(json["signature"]["size"], table.size);
    EXPECT_EQ(json["entries"].size(), 2u);
    sfx::Bytes real;
    ASSERT_TRUE(sfx::ReadWholeFile(KVX_STUB_PATH, &real));
    std::ostringstream listed, e;
    pack::StreamReporter report(e);
    EXPECT_EQ(pack::List(file, real, listed, report), 0);  // signing changed its checksum and certificate entry only
    EXPECT_NE(listed.str().find("stub: the one kvxsfx-pack "), std::string::npos) << listed.str();
    EXPECT_EQ(Run({"test", file}), 0) << err;
    ASSERT_EQ(Run({"extract", Out("unsigned.exe"), (root / "u").string()}), 0) << err;
    ASSERT_EQ(Run({"extract", file, (root / "s").string()}), 0) << err;
    EXPECT_EQ(Tree(root / "s"), Tree(root / "u"));
    EXPECT_EQ(Tree(root / "s"), Tree(src));

    ASSERT_EQ(Sign(file, Out("nested.exe"), "-nest -h sha512"), 0);
    EXPECT_GT(Table(Output("nested.exe")).size, table.size);
    EXPECT_EQ(Run({"test", Out("nested.exe")}), 0) << err;

    // A signed stub cannot take a payload without breaking its signature.
    ASSERT_EQ(Sign(KVX_STUB_PATH, Out("stub.exe")), 0);
    EXPECT_EQ(Run({"-o", Out("again.exe"), "--stub", Out("stub.exe"), src.string()}), 1);
    EXPECT_NE(err.find("sign the finished file, not the stub"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(Out("again.exe")));
}

TEST_F(Signed, EveryPaddingLengthBeforeTheTable)
{
    std::set<uint32_t> paddings;
    for (int extra = 0; extra < 8; extra++) {
        Write("a.zip", std::string(100 + extra, 'z'));  // stored: the payload grows a byte at a time
        const std::string file = PackAndSign("signed.exe");
        paddings.insert(Table(Output("signed.exe")).offset - (uint32_t)fs::file_size(Out("unsigned.exe")));
        EXPECT_EQ(Run({"test", file}), 0) << extra << ": " << err;
    }
    EXPECT_EQ(paddings, (std::set<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(Signed, BrokenLayoutsAreReportedWithTheirOffsets)
{
    Write("a.zip", std::string(101, 'z'));  // leaves 7 bytes of padding
    PackAndSign("signed.exe");
    const sfx::Bytes good = Output("signed.exe");
    const sfx::CertificateDirectory table = Table(good);
    ASSERT_GT(table.offset, fs::file_size(Out("unsigned.exe")));
    sfx::SignatureFields fields;  // data directory 4, in PE32 and PE32+ alike
    ASSERT_TRUE(sfx::FindSignatureFields(good.data(), good.size(), &fields));
    const uint32_t entry = fields.certificateEntryAt;
    auto directory = [&](sfx::Bytes b, uint32_t offset, uint32_t size) {
        for (int i = 0; i < 4; i++)
            b[entry + i] = (uint8_t)(offset >> 8 * i), b[entry + 4 + i] = (uint8_t)(size >> 8 * i);
        return b;
    };
    sfx::Bytes padding = good, appended = good, certificate = good, truncated(good.begin(), good.end() - 1);
    certificate[table.offset + 3] = 0x80;  // WIN_CERTIFICATE's length beyond the table
    padding[table.offset - 1] = 1;
    appended.push_back(0);
    const struct {
        sfx::Bytes file;
        const char* says;
    } cases[] = {
        {padding, "are not zero padding"},
        {truncated, "runs past the end of the file"},
        {appended, "1 byte follows the certificate table"},
        {directory(good, table.offset - 40, table.size + 40), "begins inside the entry"},
        {directory(good, 0xFFFFFFF0, table.size), "ends beyond 4 GiB"},
        {directory(good, table.offset, 0x7FFFFFFF), "runs past the end"},
        {directory(good, 512, (uint32_t)good.size() - 512), "begins inside the stub"},
        {certificate, "does not hold a whole certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        ASSERT_TRUE(sfx::WriteWholeFile(Out("broken.exe"), c.file));
        EXPECT_EQ(Run({"test", Out("broken.exe")}), 1);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_NE(err.find("offset"), std::string::npos) << err;
        EXPECT_EQ(Run({"list", Out("broken.exe")}), 1);
    }
}

// One large file compressed in blocks on every core and spliced into one
// stream, read back by libbzip2 in one pass.
class Blocks : public Packer {
protected:
    std::string PackedStream(const std::string& content, int level, const char* threads = "2", bool smallest = false)
    {
        Write("f.txt", content);
        std::vector<std::string> args = {"-o", Out(), "-q", "-" + std::to_string(level), "--threads", threads, src.string()};
        if (smallest)
            args.push_back("--smallest");
        EXPECT_EQ(Run(args), 0) << err;
        const std::vector<Parsed> e = Entries(Output());
        EXPECT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].method, sfx::Bzip2);
        return e.empty() ? "" : e[0].data;
    }
    // Decodes a whole stream in one call: the text, or "?" unless it ends exactly at the data's end.
    static std::string Decode(const std::string& stream, size_t expected)
    {
        bz_stream z = {};
        std::string text(expected + 1, '\0');
        BZ2_bzDecompressInit(&z, 0, 0);
        z.next_in = const_cast<char*>(stream.data()), z.avail_in = (unsigned)stream.size();
        z.next_out = &text[0], z.avail_out = (unsigned)text.size();
        const int result = BZ2_bzDecompress(&z);
        text.resize(text.size() - z.avail_out);
        BZ2_bzDecompressEnd(&z);
        return result == BZ_STREAM_END && z.avail_in == 0 ? text : "?";
    }
    // What Debian's bzip2 (or another decoder) makes of a stream, decoding it.
    std::string Bunzip2(const std::string& stream, const std::string& decoder = "bzip2 -dc")
    {
        std::ofstream(Out("stream.bz2"), std::ios::binary) << stream;
        EXPECT_EQ(std::system((decoder + " " + Out("stream.bz2") + " > " + Out("stream.out")).c_str()), 0) << decoder;
        sfx::Bytes decoded;
        EXPECT_TRUE(sfx::ReadWholeFile(Out("stream.out"), &decoded));
        return std::string(decoded.begin(), decoded.end());
    }
    // Debian's bzip2 on a file.
    std::string Bzip2(const std::string& path, int level)
    {
        sfx::Bytes stream;
        const std::string command = "bzip2 -" + std::to_string(level) + " -c " + path + " > " + Out("debian.bz2");
        EXPECT_EQ(std::system(command.c_str()), 0);
        EXPECT_TRUE(sfx::ReadWholeFile(Out("debian.bz2"), &stream));
        return std::string(stream.begin(), stream.end());
    }
    // Random bytes below 128: they compress a little, so they are not stored.
    static std::string Random7(size_t n)
    {
        std::string s = Random(n);
        for (char& c : s)
            c &= 0x7F;
        return s;
    }
    // Sixteen letters, each unlike the one before: no runs.
    static std::string Letters(size_t n)
    {
        static uint32_t x = 2463534242u;
        std::string s(n, 'A');
        for (size_t i = 1; i < n; i++)
            x ^= x << 13, x ^= x >> 17, x ^= x << 5, s[i] = (char)('A' + (s[i - 1] - 'A' + 1 + x % 15) % 16);
        return s;
    }
    // Coin flips of A and B, with every other byte once: codes of 20 bits.
    static std::string Flips(size_t n)
    {
        std::string flips(n, 'A');
        uint64_t x = 7919;
        auto next = [&x] { return x = (x * 1103515245 + 12345) & 0x7FFFFFFF; };  // 31 bits, the top one a fair coin
        for (char& c : flips)
            c = next() < 0x40000000 ? 'A' : 'B';
        for (int c = 0; c < 256; c++)
            if (c != 'A' && c != 'B')
                flips[next() * flips.size() >> 31] = (char)c;
        return flips;
    }
    // Bytes as a program's: records of a rising address, an operand and an
    // opcode, most of them from a few, then a code or data section of
    // another kind; stretches of zeros between; every byte value in use.
    static std::string Program(size_t n)
    {
        std::string s;
        uint64_t x = 104729;
        auto next = [&x] { return x = x * 6364136223846793005u + 1442695040888963407u, (uint32_t)(x >> 33); };
        for (uint32_t address = 0x401000; s.size() < n; address += 4 + next() % 12) {
            const bool data = s.size() / 65536 % 3 == 2;
            const uint32_t opcode = data ? next() % 256 : (next() % 256) & (next() % 256) & 0xCF;
            for (int shift : {0, 8, 16, 24})
                s += (char)(address >> shift);
            s += (char)(data ? next() % 256 : next() % 16), s += (char)opcode;
            if (next() % 512 == 0)
                s.append(next() % 300, '\0');
        }
        s.resize(n);
        return s;
    }
    // Random letters of a four-letter alphabet: bzip2's run coding makes
    // them 0.8 % larger.
    static std::string Acgt(size_t n)
    {
        std::string s(n, 'A');
        uint32_t x = 123456789u;
        for (char& c : s)
            x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = "ACGT"[x >> 30];
        return s;
    }
    static std::string Text(size_t n)
    {
        std::string s;
        for (size_t i = 0; s.size() < n; i++)
            s += "line " + std::to_string(i * 7919 % 100003) + " of a text that compresses\n";
        s.resize(n);
        return s;
    }
};

// Every block ends where libbzip2 ends it, so each entry's stream is byte for
// byte Debian's `bzip2 -N`: sizes either side of a block's limit, runs of 1 to
// 300 bytes ending at the limit or across it, text, random data, bytes like a
// program's and long runs,
// at levels 1, 5 and 9, on one thread and on two.  With --smallest the stream
// is the same on both, no larger, and Debian's bzip2, lbzip2 and 7-Zip read it back;
// every table's code fills its code space, no code is longer than 20 bits,
// and where a case records them, its codes reach 20 bits and it is no larger
// than it was (a search that chooses worse fails).  Small files whose runs of
// four make them more than one block are split where libbzip2 splits them.
TEST_F(Blocks, EveryBlockEndsWhereBzip2EndsIt)
{
    const std::string text = Text(2500000);
    std::string runs4;
    for (int i = 0; runs4.size() < 600000; i++)
        runs4 += std::string(4, (char)('a' + i % 26)) + std::string(4, (char)('0' + i % 7));
    std::string aaaabbbb;
    while (aaaabbbb.size() < 720000)
        aaaabbbb += "aaaabbbb";
    struct Case {
        std::string content;
        int level;
        size_t smallestAtMost = 0;  // --smallest's bytes at most
        int longestCode = 0;        // --smallest's longest code, where it is known
    };
    std::vector<Case> cases = {
        {"", 9},
        {runs4, 1, 5136},
        {runs4, 9, 971},
        {std::string(10 << 20, 'r'), 1},
        {text, 9, 139679},
        {Random7(1 << 20), 5, 920982},
        {aaaabbbb, 9, 85},
        {aaaabbbb.substr(0, 80000), 1, 83},
        {Acgt(895000), 9, 243996},
        {Flips(880000), 9, 141935, 20},
        {Program(800000), 9, 510876},
        {Letters(150000) + Random7(150000) + Text(300000), 1, 225741},
        {Text(200000) + runs4.substr(0, 200000) + Random7(200000), 9, 189975},
    };
    // Letters make no runs: a block at level k holds k x 100,000 - 19 of them.
    for (int level : {1, 5, 9}) {
        const size_t limit = 100000u * level - 19;
        for (size_t size : {limit - 1, limit, limit + 1, limit + 2, 2 * limit + 1})
            cases.push_back({Letters(size), level});
    }
    // A run that ends a few bytes before the limit, at it, or across it;
    // 300 bytes are two runs, of 255 and 45.
    const size_t limit = 100000 - 19;
    for (size_t run : {1, 2, 3, 4, 5, 254, 255, 256, 300}) {
        const size_t inBlock = run < 4 ? run : run <= 255 ? 5 : 10;
        for (size_t end : {limit - 1, limit, limit + 1, limit + 4}) {
            std::string s = Letters(end - inBlock);
            s += std::string(run, s.back() == 'x' ? 'y' : 'x') + Letters(1000);
            cases.push_back({s, 1});
        }
    }
    // Runs of two, three and four among bytes that repeat none before them,
    // from every offset of the cutter's eight-byte steps, and runs of 255
    // bytes and more from every offset.
    for (int shift = 0; shift < 8; shift++) {
        std::string pairs = std::string("ghijklm").substr(0, shift);
        while (pairs.size() < 200000)
            pairs += "xxabcyyydefzzzzg";
        cases.push_back({pairs, 1});
        std::string longRuns = std::string("ghijklm").substr(0, shift);
        for (int run = 250; longRuns.size() < 200000; run = run % 270 + 1)
            longRuns += std::string(run, 'x') + Letters(1 + run % 7);
        cases.push_back({longRuns, 1});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.content.size()) + " bytes at -" + std::to_string(c.level));
        Write("f.txt", c.content);
        const std::string debian = Bzip2((src / "f.txt").string(), c.level);
        std::string smallest;
        for (const char* threads : {"1", "2"}) {
            const std::string stream = PackedStream(c.content, c.level, threads);
            ASSERT_EQ(stream.size(), debian.size()) << threads << " threads";
            ASSERT_TRUE(stream == debian) << threads << " threads";
            const std::string small = PackedStream(c.content, c.level, threads, true);
            EXPECT_TRUE(smallest.empty() || small == smallest) << "--smallest on " << threads << " threads";
            smallest = small;
        }
        EXPECT_LE(smallest.size(), debian.size());
        if (c.smallestAtMost != 0)
            EXPECT_LE(smallest.size(), c.smallestAtMost);
        EXPECT_TRUE(Bunzip2(smallest) == c.content);
        EXPECT_TRUE(Bunzip2(smallest, "lbzip2 -dc -n1") == c.content);
        EXPECT_TRUE(Bunzip2(smallest, "7z x -bd -so -tbzip2 2>/dev/null") == c.content);
        pack::StreamShape shape;
        shape.Feed(reinterpret_cast<const uint8_t*>(smallest.data()), smallest.size());
        shape.End();
        EXPECT_EQ(shape.incompleteCodes(), 0);
        EXPECT_LE(shape.longestCode(), 20);
        if (c.longestCode != 0)
            EXPECT_EQ(shape.longestCode(), c.longestCode);
    }

    // A 1-byte file is stored (its stream would be larger); spliced alone it
    // decodes too, and is Debian's `bzip2 -9` of that byte.
    pack::Compressor compressor(9);
    pack::Chunk chunk;
    chunk.bytes = {'x'}, chunk.size = 1;
    pack::Block block;
    const char* error = nullptr;
    ASSERT_TRUE(compressor.Compress(chunk, &block, &error));
    std::vector<uint8_t> spliced;
    pack::MemorySink memory(&spliced);
    pack::StreamSplicer splicer(memory, 9);
    splicer.Add(block);
    uint64_t size = 0;
    ASSERT_TRUE(splicer.Finish(&size));
    const std::string one(spliced.begin(), spliced.end());
    EXPECT_EQ(Decode(one, 1), "x");
    Write("x.txt", "x");
    EXPECT_TRUE(one == Bzip2((src / "x.txt").string(), 9));
}

TEST_F(Blocks, SameBytesOnAnyThreadsAndDamageIsFound)
{
    const std::string text = Text(3000000);
    const std::string one = PackedStream(text, 9, "1");
    EXPECT_EQ(one, PackedStream(text, 9, "4"));
    EXPECT_EQ(one, PackedStream(text, 9, "8"));

    auto test = [&](const std::string& stream) {
        sfx::Entry e;
        e.fileName = "f.txt", e.method = sfx::Bzip2, e.unpackedSize = (uint32_t)text.size();
        e.data.assign(stream.begin(), stream.end());
        sfx::WriteWholeFile(Out("d.exe"), sfx::BuildArchive(Stub(), {}, {sfx::EncodeEntry(e)}));
        return Run({"test", Out("d.exe")});
    };
    std::string flipped = one;
    flipped[flipped.size() * 3 / 4] ^= 0x10;  // in the fourth of four blocks
    EXPECT_EQ(test(flipped), 1);
    EXPECT_EQ(test(one + "junk"), 0);
    EXPECT_NE(err.find("4 bytes after the end of its bzip2 stream"), std::string::npos) << err;

    // pbzip2 writes one stream per block: the stub would stop after the first.
    Write("t.txt", text);
    ASSERT_EQ(std::system(("pbzip2 -9 -b1 -p2 -c " + (src / "t.txt").string() + " > " + Out("t.bz2")).c_str()), 0);
    sfx::Bytes concatenated;
    ASSERT_TRUE(sfx::ReadWholeFile(Out("t.bz2"), &concatenated));
    EXPECT_EQ(test(std::string(concatenated.begin(), concatenated.end())), 1);
    EXPECT_NE(err.find("a second bzip2 stream"), std::string::npos) << err;
}

// The shape list --json gives a stream (blocks, most tables, longest code),
// read from the stream fed in pieces of any size, a block header straddling
// any two: the blocks as Debian's bzip2recover counts them (it writes a file
// for each), for bzip2 -1's stream and for --smallest's of the same file.
TEST_F(Blocks, StreamShapeFedInAnyPiecesAsBzip2recoverCountsBlocks)
{
    const std::string content = Letters(150000) + Random7(150000) + Text(300000);  // kinds change mid-block
    const std::string debian = (Write("f.txt", content), Bzip2((src / "f.txt").string(), 1));
    const std::string smallest = PackedStream(content, 1, "2", true);
    auto recoveredBlocks = [&](const std::string& stream) {
        const fs::path dir = Out("recover");
        fs::remove_all(dir), fs::create_directories(dir);
        std::ofstream(dir / "s.bz2", std::ios::binary) << stream;
        EXPECT_EQ(std::system(("cd " + dir.string() + " && bzip2recover s.bz2 >/dev/null 2>&1").c_str()), 0);
        return (int)std::distance(fs::directory_iterator(dir), fs::directory_iterator()) - 1;
    };
    int debianBlocks = 0;
    for (const std::string* stream : {&debian, &smallest}) {
        const int blocks = recoveredBlocks(*stream);
        for (size_t piece : {(size_t)1, (size_t)7, (size_t)4096, stream->size()}) {
            SCOPED_TRACE((stream == &debian ? "bzip2 -1" : "--smallest") + std::string(", pieces of ") + std::to_string(piece));
            pack::StreamShape shape;
            for (size_t at = 0; at < stream->size(); at += piece)
                shape.Feed(reinterpret_cast<const uint8_t*>(stream->data()) + at, std::min(piece, stream->size() - at));
            shape.End();
            EXPECT_EQ(shape.blocks(), blocks);
            if (stream == &debian) {
                debianBlocks = blocks;
                EXPECT_EQ(shape.mostTables(), 6);  // libbzip2 takes 6 tables for 2,400 symbols or more
                EXPECT_EQ(shape.longestCode(), 14);  // libbzip2 writes up to 17
            } else {
                EXPECT_GT(shape.blocks(), debianBlocks);  // split where the kind of data changes
                EXPECT_EQ(shape.incompleteCodes(), 0);
            }
        }
    }
    EXPECT_GE(debianBlocks, 6);
    EXPECT_LT(smallest.size(), debian.size());
}

// The induced sort of rotations against sorting them one by one, on the
// strings of rotation_table.h.  The levels below them are ordered in every
// way but in 32 bits (the block table below takes that).
TEST(InducedSort, SameOrderAsComparingRotationsOneByOne)
{
    unsigned long long levelsBefore[KVX_LEVEL_PATHS], levelsAfter[KVX_LEVEL_PATHS];
    KVX_inducedLevelCounts(levelsBefore);
    uint32_t x = 2463534242u;
    for (int round = 0; round < RotationRounds; round++) {
        const std::vector<unsigned char> t = RotationCase(round, x);
        const int n = (int)t.size();
        int count[256] = {};
        for (auto c : t)
            count[c]++;
        bool equal;
        const std::vector<unsigned> expected = OrderOneByOne(t, equal);
        std::vector<unsigned> order(n), work(KVX_INDUCED_WORK(n));
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(n) + " symbols");
        ASSERT_EQ(KVX_sortRotationsInduced(t.data(), count, order.data(), n, work.data()), equal ? 0 : 1);
        if (!equal)
            ASSERT_EQ(order, expected);
    }
    KVX_inducedLevelCounts(levelsAfter);
    for (int path : {KVX_LEVEL_DISTINCT, KVX_LEVEL_DOUBLED, KVX_LEVEL_DOUBLING_GAVE_UP, KVX_LEVEL_NARROW})
        EXPECT_GT(levelsAfter[path], levelsBefore[path]) << "levels ordered by way " << path;
}

// --smallest's search estimates each piece of a window from the window's
// sorted order, with move-to-front and run coding of its own; from a block's
// own order the estimate is exactly the bits libbzip2 writes for that block
// with the search's tables: runs of rank 0 of every length, runs of 4 to 255
// bytes and longer, few or all bytes in use, at levels 1 and 9.
TEST_F(Blocks, SmallestEstimatesABlockAsLibbzip2WritesIt)
{
    std::string runs;
    for (int i = 0; runs.size() < 90000; i++)
        runs += std::string(1 + i % 300, (char)('a' + i % 3)) + Letters(i % 5);
    const std::vector<std::string> contents = {
        "x", Letters(5), Text(95000), Random7(99000), Acgt(99000), Flips(99000), runs,
        std::string(50000, '\0') + Random7(40000),
    };
    for (int level : {1, 9}) {
        pack::Compressor compressor(level);
        for (const std::string& content : contents) {
            SCOPED_TRACE(std::to_string(content.size()) + " bytes at -" + std::to_string(level));
            uint64_t estimated = 0, compressed = 0;
            ASSERT_TRUE(pack::EstimateForSize(reinterpret_cast<const uint8_t*>(content.data()), content.size(), compressor,
                                              &estimated, &compressed));
            EXPECT_EQ(estimated, compressed);
        }
    }
}

// The block CRC sixteen bytes a step (where the processor multiplies
// without carries) and eight bytes a step, against libbzip2's byte a step:
// every length to 300 and some longer ones, from every alignment, from the
// stream's first register and from others.
TEST(BlockCrc, EveryWayGivesLibbzip2sCrc)
{
    std::vector<unsigned char> bytes(5000 + 16);
    uint32_t x = 12345;
    for (unsigned char& b : bytes)
        x = x * 1103515245 + 12345, b = (unsigned char)(x >> 23);
    for (uint32_t n = 0; n < 5000; n += n < 300 ? 1 : 977) {
        for (uint32_t at = 0; at < 16; at += n < 300 ? 5 : 1) {
            for (uint32_t start : {0xFFFFFFFFu, 0u, 0x12345678u}) {
                uint32_t expected = start;
                for (uint32_t i = 0; i < n; i++)
                    BZ_UPDATE_CRC(expected, bytes[at + i]);
                SCOPED_TRACE(std::to_string(n) + " bytes from " + std::to_string(at));
                EXPECT_EQ(BZ2_crcUpdate(start, bytes.data() + at, n), expected);
                BZ2_crcBySlicesForTests = 1;
                EXPECT_EQ(BZ2_crcUpdate(start, bytes.data() + at, n), expected);
                BZ2_crcBySlicesForTests = 0;
            }
        }
    }
}

// --smallest's code lengths within a limit against the best found by trying
// every assignment: counts skewed so that Huffman's tree is deeper than the
// limit (package-merge's case) or not, 2 to 10 symbols, limits of 2 to 6
// bits; and at the format's 20 bits, symbols whose counts grow as Fibonacci's
// numbers (a Huffman tree 30 deep) and symbols that never occur still get a
// complete code of at most 20 bits, the longest 20, also where the lengths
// count the table's own bits, as the blocks kept are finished.
TEST(CodeLengths, FewestBitsWithinTheLimitAsTryingEveryCode)
{
    uint32_t x = 88172645u;
    auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
    // The cost of the cheapest lengths of at most `limit` bits whose room
    // sums to at most 1: symbols by descending count take lengths that
    // never shrink.
    auto cheapest = [](std::vector<uint32_t> count, int limit) {
        std::sort(count.rbegin(), count.rend());
        uint64_t best = UINT64_MAX;
        std::vector<int> length(count.size(), 1);
        std::function<void(size_t, int, double)> choose = [&](size_t i, int from, double room) {
            if (room > 1)
                return;
            if (i == count.size()) {
                uint64_t bits = 0;
                for (size_t k = 0; k < count.size(); k++)
                    bits += (uint64_t)count[k] * length[k];
                best = std::min(best, bits);
                return;
            }
            for (int l = from; l <= limit; l++)
                length[i] = l, choose(i + 1, l, room + std::ldexp(1.0, -l));
        };
        choose(0, 1, 0);
        return best;
    };
    for (int round = 0; round < 3000; round++) {
        const int n = 2 + next() % 9, limit = std::max(2, (int)std::ceil(std::log2(n))) + next() % 3;
        if (n > 1 << limit)
            continue;
        std::vector<uint32_t> count(n);
        for (auto& c : count)
            c = round % 2 ? 1u << next() % 16 : next() % 100;  // skewed, or even
        std::vector<uint8_t> length(n);
        tables::FewestBitsWithin(count.data(), n, length.data(), limit);
        double room = 0;
        uint64_t bits = 0;
        for (int v = 0; v < n; v++) {
            ASSERT_TRUE(length[v] >= 1 && length[v] <= limit) << "round " << round;
            room += std::ldexp(1.0, -length[v]), bits += (uint64_t)count[v] * length[v];
        }
        ASSERT_LE(room, 1.0) << "round " << round;
        ASSERT_EQ(bits, cheapest(count, limit)) << "round " << round << ": " << n << " symbols within " << limit;
    }
    // Lengths that count the table's bits never cost more, table included,
    // than the fewest bits for the counts alone, and mostly less: alphabets of
    // 3 to 258 symbols, counts skewed, mostly zero, or even.
    auto codeBits = [](const std::vector<uint32_t>& count, const std::vector<uint8_t>& length) {
        uint64_t bits = 5;
        for (size_t v = 0; v < count.size(); v++)
            bits += (uint64_t)count[v] * length[v] + 1 + 2 * (uint64_t)std::abs(length[v] - length[v ? v - 1 : 0]);
        return bits;
    };
    int cheaper = 0;
    for (int round = 0; round < 300; round++) {
        const int n = 3 + next() % 256;
        std::vector<uint32_t> count(n);
        for (auto& c : count)
            c = round % 3 == 0 ? 1u << next() % 16 : round % 3 == 1 ? next() % 4 == 0 ? next() % 50 : 0 : next() % 1000;
        std::vector<uint8_t> table(n), plain(n);
        tables::FewestBitsWithTableBits(count.data(), n, table.data());
        tables::FewestBitsWithin(count.data(), n, plain.data(), 20);
        ASSERT_LE(codeBits(count, table), codeBits(count, plain)) << "round " << round << ", " << n << " symbols";
        cheaper += codeBits(count, table) < codeBits(count, plain);
    }
    EXPECT_GT(cheaper, 120);
    std::vector<uint32_t> fibonacci = {1, 1};
    while (fibonacci.size() < 30)
        fibonacci.push_back(fibonacci[fibonacci.size() - 1] + fibonacci[fibonacci.size() - 2]);
    fibonacci.resize(80);  // and 50 symbols that do not occur, which take the longest codes
    for (bool tableBits : {false, true}) {
        SCOPED_TRACE(tableBits ? "counting the table's bits" : "within 20 bits");
        std::vector<uint8_t> length(fibonacci.size());
        if (tableBits)
            tables::FewestBitsWithTableBits(fibonacci.data(), (int)fibonacci.size(), length.data());
        else
            tables::FewestBitsWithin(fibonacci.data(), (int)fibonacci.size(), length.data(), 20);
        double room = 0;
        for (auto l : length) {
            EXPECT_TRUE(l >= 1 && l <= 20) << (int)l;
            room += std::ldexp(1.0, -l);
        }
        EXPECT_EQ(room, 1.0);  // complete: no code is wasted
        EXPECT_EQ(*std::max_element(length.begin(), length.end()), 20);
    }
}

// The packer's libbzip2 (its own block sorter and move-to-front step) writes
// exactly what Debian's bzip2 program writes.  Each case names the path its
// blocks must take through the sorter, and no order of ours may fail its
// check; most are one block at every level (60 to 90 KB).
TEST_F(Blocks, SameStreamsAsDebiansBzip2OnEverySortersPath)
{
    auto tile = [](const std::string& unit, size_t n) {
        std::string s;
        while (s.size() < n)
            s += unit;
        return s.substr(0, n);
    };
    uint32_t x = 2463534242u;
    // 16 letters, each unlike the one before: they repeat a lot, yet without
    // structure, and make no runs (libbzip2 would write a rare count byte for one).
    auto letters = [&x](size_t n) {
        std::string s(n, 'A');
        for (size_t i = 1; i < n; i++)
            x ^= x << 13, x ^= x >> 17, x ^= x << 5, s[i] = (char)('A' + (s[i - 1] - 'A' + 1 + x % 15) % 16);
        return s;
    };
    sfx::Bytes self;
    ASSERT_TRUE(sfx::ReadWholeFile("/proc/self/exe", &self));
    const std::string text = Text(2500000), noise = Random(1 << 20), binary(self.begin(), self.end());
    // Stretches that repeat across the block's end, where rotations and
    // suffixes part ways: a stretch of 2,001 bytes twice, a periodic one, and
    // periods cut short or a byte off.
    std::string twice = letters(3000);
    twice[2000] = '\xFF';
    const std::string runs = tile("ab", 900) + '\xFF';
    std::string offPeriod = tile(letters(9991), 8 * 9991);
    offPeriod[70000] ^= 1;
    // A Fibonacci word: each level of the induced sort leaves one just as
    // deep to the next, down to a few symbols.
    std::string fibonacci = "b", previous = "a";
    while (fibonacci.size() < 70000)
        fibonacci += previous, previous = fibonacci.substr(0, fibonacci.size() - previous.size());
    // Over 65,536 names one level down, whose own names are few enough
    // alike for prefix doubling, until the long stretch makes it give up.
    const std::string stretch = letters(250000), stretchTwice = letters(400000) + stretch + stretch;
    const std::vector<int> all = {1, 5, 9};
    const struct {
        const char* name;
        std::string content;
        SortPath path;
        std::vector<int> levels;
        int spoil = 0;  // BZ2_sortSpoilForTests
        int give = 0;   // the block's order given with it: 1 as it is, 2 spoiled within a bucket, 3 another block's
    } cases[] = {
        {"text with one byte of its own", text.substr(0, 60000) + '\x01' + text.substr(60000, 20000), SortInduced, all},
        {"sixteen letters", letters(80000), SortInduced, all},
        // Types are found 64 positions at a time: the last position alone in
        // its word, a full word just before it, and runs across words.
        {"sixteen letters, the last alone in a word", letters(80001), SortInduced, all},
        {"sixteen letters, a full word just before the last", letters(80065), SortInduced, all},
        {"runs of three across words", tile("aaabbbcccdddeeefffggghhh", 70001), SortInduced, all},
        {"text", text.substr(0, 80000), SortInduced, all},
        {"a stretch repeated across the end", letters(30000) + twice + letters(30000) + twice, SortInduced, all},
        {"a periodic stretch across the end", letters(30000) + runs + letters(30000) + runs, SortInduced, all},
        {"a Fibonacci word", fibonacci, SortInduced, all},
        {"two letters", tile("ab", 40000) + tile("ba", 30001), SortInduced, all},
        {"period 3", tile("xyz", 69999), SortPeriodic, all},
        {"period 1000", tile(letters(1000), 70000), SortPeriodic, all},
        {"period 9991", tile(letters(9991), 8 * 9991), SortPeriodic, all},
        {"period 9991, cut short", tile(letters(9991), 80000), SortInduced, all},
        {"period 3, one byte more", tile("xyz", 70000), SortInduced, all},
        {"one byte off a period", offPeriod, SortInduced, all},
        {"random", noise.substr(0, 80000), SortRandom, all},
        {"small", text.substr(0, 20000), SortSmall, all},
        // Larger inputs, several blocks: each named path taken at least once.
        {"text, 2.5 MB", text, SortInduced, {9}},
        {"binary", binary.substr(0, 1 << 20), SortInduced, {9}},
        {"zeros", std::string(1 << 20, '\0'), SortSmall, {9}},
        {"two-byte pattern, odd blocks", tile("ab", 1 << 20), SortInduced, {9}},
        {"a random megabyte twice", noise + noise, SortRandom, {9}},
        {"period 350001, cut short", tile(text.substr(0, 350001), 800000), SortInduced, {9}},
        {"period 350001", tile(text.substr(0, 350001), 700002), SortPeriodic, {9}},
        {"a long stretch repeated at the end", text.substr(0, 600000) + text.substr(100000, 5000), SortInduced, {9}},
        {"letters, then a long stretch twice", stretchTwice, SortInduced, {9}},
        {"ending with its own beginning", text.substr(0, 600000) + text.substr(0, 40), SortInduced, {9}},
        {"ending with a byte's run", text.substr(0, 500000) + std::string(3000, 'e'), SortInduced, {9}},
        // A spoiled order fails its check, and libbzip2's sorter takes the
        // block: two entries swapped across buckets, or within one.
        {"a spoiled order", text.substr(0, 80000), SortCheckFailed, all, 1},
        {"an order spoiled within a bucket", text.substr(0, 80000), SortCheckFailed, all, 2},
        {"a small order spoiled within a bucket", text.substr(0, 20000), SortCheckFailed, all, 2},
        // An order given with the block (a piece --smallest has sorted)
        // passes the same check or is not taken.
        {"the block's own order given", letters(80000), SortGiven, all, 0, 1},
        {"a small block's own order given", letters(9000), SortGiven, all, 0, 1},
        {"a given order spoiled within a bucket", letters(80000), SortInduced, all, 0, 2},
        {"another block's order given", letters(80000), SortInduced, all, 0, 3},
    };
    unsigned long long levelsBefore[KVX_LEVEL_PATHS], levelsAfter[KVX_LEVEL_PATHS];
    KVX_inducedLevelCounts(levelsBefore);
    unsigned short probe[16];
    int probeCounts[258] = {};
    if (KVX_mtfValuesWide(nullptr, 0, nullptr, probe, probeCounts) < 0)
        std::printf("(no AVX-512 VBMI here: move-to-front by libbzip2's loop only)\n");
    for (const auto& c : cases) {
        Write("in.bin", c.content);
        for (int level : c.levels) {
            SCOPED_TRACE(std::string(c.name) + " at -" + std::to_string(level));
            const std::string command = "bzip2 -" + std::to_string(level) + " -c " + (src / "in.bin").string();
            sfx::Bytes debian;
            ASSERT_EQ(std::system((command + " > " + Out("in.bz2")).c_str()), 0);
            ASSERT_TRUE(sfx::ReadWholeFile(Out("in.bz2"), &debian));
            unsigned long long before[SortPathCount], after[SortPathCount];
            // Given at an offset, as --smallest gives a piece's order.
            const unsigned first = 7;
            std::vector<unsigned> given(c.content.size());
            std::string other = c.content;
            if (c.give != 0) {
                int count[256] = {};
                for (unsigned char b : c.content)
                    count[b]++;
                std::vector<unsigned> work(KVX_INDUCED_WORK(given.size()) + 1);
                const auto block = reinterpret_cast<const unsigned char*>(c.content.data());
                ASSERT_EQ(KVX_sortRotationsInduced(block, count, given.data(), (int)given.size(), work.data()), 1);
                size_t i = 1;
                while (c.give == 2 && block[given[i]] != block[given[i - 1]])
                    i++;
                if (c.give == 2)
                    std::swap(given[i], given[i - 1]);
                for (unsigned& p : given)
                    p += first;
                std::swap(other[0], other[1]);
                KVX_giveSortedBlock(reinterpret_cast<const unsigned char*>(c.give == 3 ? other.data() : c.content.data()),
                                    given.data(), (int)given.size(), first);
            }
            BZ2_sortPathCounts(before);
            BZ2_sortSpoilForTests = c.spoil;
            EXPECT_TRUE(sfx::Bzip2Compress(sfx::Bytes(c.content.begin(), c.content.end()), level) == debian);
            // Move-to-front by libbzip2's loop too, where the processor would
            // take the list in vector registers.
            BZ2_mtfNarrowForTests = 1;
            EXPECT_TRUE(sfx::Bzip2Compress(sfx::Bytes(c.content.begin(), c.content.end()), level) == debian)
                << "by libbzip2's move-to-front loop";
            BZ2_mtfNarrowForTests = 0;
            BZ2_sortSpoilForTests = 0;
            KVX_giveSortedBlock(nullptr, nullptr, 0, 0);
            BZ2_sortPathCounts(after);
            std::string taken;
            for (int path = 0; path < SortPathCount; path++)
                taken += " " + std::to_string(after[path] - before[path]);
            EXPECT_GT(after[c.path], before[c.path]) << "blocks on each path:" << taken;
            if (c.path != SortCheckFailed)
                EXPECT_EQ(after[SortCheckFailed], before[SortCheckFailed]) << "an order of ours failed its check";
        }
    }
    KVX_inducedLevelCounts(levelsAfter);
    for (int path : {KVX_LEVEL_DOUBLED, KVX_LEVEL_DOUBLING_GAVE_UP, KVX_LEVEL_NARROW, KVX_LEVEL_WIDE})
        EXPECT_GT(levelsAfter[path], levelsBefore[path]) << "levels ordered by way " << path;
}
