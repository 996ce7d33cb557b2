// The extraction driver over whole payloads: methods, staging, directories,
// file times, damaged entries and names that try to leave the destination.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "app/app.h"
#include "archive/archive.h"
#include "testutil.h"

namespace {

sfx::Bytes Text(const std::string& s) { return sfx::Bytes(s.begin(), s.end()); }

// 2001-02-03 04:05:06 local time, in MS-DOS form.
const uint16_t EntryDate = (21 << 9) | (2 << 5) | 3;
const uint16_t EntryTime = (4 << 11) | (5 << 5) | (6 / 2);

sfx::Entry Entry(const std::string& dir, const std::string& file, const sfx::Bytes& content, uint16_t method)
{
    sfx::Entry e;
    e.dirName = dir;
    e.fileName = file;
    e.unpackedSize = (uint32_t)content.size();
    e.method = method;
    e.data = (method == sfx::Stored || method == sfx::ByExtension) ? content : sfx::Bzip2Compress(content);
    e.dosDate = EntryDate;
    e.dosTime = EntryTime;
    return e;
}

class Extract : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = MakeTempDir("extract");
        dest = base + "dest\\";
        lstrcpyA(ModulePath, (base + "archive.exe").c_str());
        lstrcpyA(DestinationDir, dest.c_str());
        lstrcpyA(StagingPath, (base + "Qel00tmp.tmp").c_str());
        ProgressWindow = NULL;
    }
    void TearDown() override { RemoveTree(base); }

    int Run(const std::vector<sfx::Entry>& entries, const std::vector<sfx::Damage>& damage = {})
    {
        std::vector<sfx::Bytes> encoded;
        for (size_t i = 0; i < entries.size(); i++)
            encoded.push_back(sfx::EncodeEntry(entries[i], i < damage.size() ? damage[i] : sfx::Damage{}));
        WriteFileBytes(ModulePath, sfx::BuildArchive(FakeStub(), {}, encoded));
        return ExtractAll();
    }

    // Every name below `dir`, relative, directories with a closing backslash.
    std::vector<std::string> Tree(const std::string& dir, const std::string& prefix = "")
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return names;
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                names.push_back(prefix + name + "\\");
                for (const std::string& inner : Tree(dir + name + "\\", prefix + name + "\\"))
                    names.push_back(inner);
            } else {
                names.push_back(prefix + name);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
        std::sort(names.begin(), names.end());
        return names;
    }

    BufferScope buffers;
    std::string base, dest;
};

SYSTEMTIME TimeOf(const FILETIME& t)
{
    SYSTEMTIME s;
    FileTimeToSystemTime(&t, &s);
    return s;
}

}  // namespace

TEST_F(Extract, MethodDecidesCopyOrDecode)
{
    const sfx::Bytes content = Text("content that is the same either way\n");
    ASSERT_EQ(Run({
                  Entry("", "a.ZIP", content, sfx::ByExtension),
                  Entry("", "b.zip", content, sfx::ByExtension),
                  Entry("", "c.Zip", content, sfx::ByExtension),
                  Entry("", "d.txt", sfx::Bzip2Compress(content), sfx::ByExtension),
                  Entry("", "noext", sfx::Bzip2Compress(content), sfx::ByExtension),
                  Entry("", "e.txt", content, sfx::Stored),
                  Entry("", "f.txt", content, 5),
                  Entry("", "g.zip", content, sfx::Bzip2),
              }),
              1);
    for (const char* name : {"a.ZIP", "b.zip", "c.Zip", "e.txt", "f.txt", "g.zip"})
        EXPECT_EQ(ReadFileBytes(dest + name), content) << name;
    // Method 0 without a stored extension holds a stream: decoded.
    EXPECT_EQ(ReadFileBytes(dest + "d.txt"), content);
    EXPECT_EQ(ReadFileBytes(dest + "noext"), content);
}

TEST_F(Extract, MethodZeroWithAStreamUnderAStoredNameIsCopiedAsIs)
{
    const sfx::Bytes stream = sfx::Bzip2Compress(Text("x"));
    sfx::Entry e = Entry("", "data.gz", stream, sfx::ByExtension);
    ASSERT_EQ(Run({e}), 1);
    EXPECT_EQ(ReadFileBytes(dest + "data.gz"), stream);
}

TEST_F(Extract, FileTimesAreTheEntryTimeReadAsLocalTime)
{
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    ASSERT_NE(zone.Bias, 0) << "the tests need a local time that differs from UTC";

    ASSERT_EQ(Run({Entry("sub\\", "packed.txt", Text("packed"), sfx::Bzip2),
                   Entry("sub\\", "stored.txt", Text("stored"), sfx::Stored)}),
              1);
    for (const char* name : {"sub\\packed.txt", "sub\\stored.txt"}) {
        SCOPED_TRACE(name);
        HANDLE f = CreateFileA((dest + name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        FILETIME created, accessed, written;
        GetFileTime(f, &created, &accessed, &written);
        CloseHandle(f);
        EXPECT_EQ(CompareFileTime(&created, &written), 0);
        EXPECT_EQ(CompareFileTime(&accessed, &written), 0);
        // 04:05:06 local is 19:05:06 UTC the day before in Tokyo (UTC+9).
        const SYSTEMTIME utc = TimeOf(written);
        const int localMinutes = 4 * 60 + 5;
        const int utcMinutes = ((localMinutes + (int)zone.Bias) % 1440 + 1440) % 1440;
        EXPECT_EQ(utc.wHour * 60 + utc.wMinute, utcMinutes);
        EXPECT_EQ(utc.wSecond, 6);
        EXPECT_EQ(utc.wYear, 2001);
    }
}

TEST_F(Extract, TimeIsKeptWhenTheSizeDiffersOrTheDateIsInvalid)
{
    sfx::Entry wrongSize = Entry("", "short.txt", Text("1234"), sfx::Stored);
    wrongSize.unpackedSize = 99;
    sfx::Entry badDate = Entry("", "baddate.txt", Text("abc"), sfx::Stored);
    badDate.dosDate = (21 << 9) | (13 << 5) | 40;  // month 13, day 40
    ASSERT_EQ(Run({wrongSize, badDate}), 1);
    for (const char* name : {"short.txt", "baddate.txt"}) {
        SCOPED_TRACE(name);
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExA((dest + name).c_str(), GetFileExInfoStandard, &data));
        EXPECT_GE(TimeOf(data.ftLastWriteTime).wYear, 2020);  // the time of the copy
    }
}

namespace {

std::vector<DWORD> readSizes;
decltype(&ReadFile) realReadFile;
BOOL WINAPI RecordReadFile(HANDLE f, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    readSizes.push_back(size);
    return realReadFile(f, buffer, size, done, overlapped);
}

}  // namespace

TEST_F(Extract, StagingReadsAtMostAChunkAtATime)
{
    ImportPatch patch("kernel32.dll", "ReadFile", (void*)RecordReadFile);
    realReadFile = (decltype(realReadFile))patch.original();
    for (size_t size : {size_t(512000), size_t(512001), size_t(1100000)}) {
        SCOPED_TRACE(size);
        sfx::Bytes content(size);
        for (size_t i = 0; i < size; i++)
            content[i] = (uint8_t)(i % 251);
        readSizes.clear();
        ASSERT_EQ(Run({Entry("", "big.bin", content, sfx::Stored)}), 1);
        // Checksum 4, header 24, file name 7, then the data, then the end.
        std::vector<DWORD> expected = {4, 24, 7};
        for (size_t left = size; left > 0; left -= std::min<size_t>(left, 512000))
            expected.push_back((DWORD)std::min<size_t>(left, 512000));
        expected.push_back(4);
        EXPECT_EQ(readSizes, expected);
        EXPECT_EQ(ReadFileBytes(dest + "big.bin"), content);
    }
}

TEST_F(Extract, EntriesWithoutDataAndDamagedOrShortEntries)
{
    // PackedSize 0 creates nothing, not even its directory; the next entry
    // follows its names directly.
    ASSERT_EQ(Run({Entry("empty\\", "nothing.txt", {}, sfx::Stored), Entry("", "after.txt", Text("a"), sfx::Stored)}), 1);
    EXPECT_EQ(Tree(dest), std::vector<std::string>{"after.txt"});
    RemoveTree(dest);

    // A checksum mismatch ends the walk as the end of the payload would.
    sfx::Damage bad;
    bad.checksumDelta = -1;
    ASSERT_EQ(Run({Entry("", "1.txt", Text("1"), sfx::Stored), Entry("", "2.txt", Text("2"), sfx::Stored),
                   Entry("", "3.txt", Text("3"), sfx::Stored)},
                  {{}, bad}),
              1);
    EXPECT_EQ(Tree(dest), std::vector<std::string>{"1.txt"});
    RemoveTree(dest);

    // Data cut short by the end of the file fails the run.
    sfx::Damage longer;
    longer.packedSize = 100;
    EXPECT_EQ(Run({Entry("", "ok.txt", Text("ok"), sfx::Stored), Entry("", "cut.txt", Text("cut"), sfx::Stored)},
                  {{}, longer}),
              0);
    EXPECT_EQ(Tree(dest), std::vector<std::string>{"ok.txt"});

    // A file that ends right behind the stub has no entries: success.
    EXPECT_EQ(Run({}), 1);
    // A stream that does not decode fails.
    EXPECT_EQ(Run({Entry("", "bad.txt", Text("not bzip2"), sfx::ByExtension)}), 0);
    // Our own file missing: nothing starts.
    lstrcpyA(ModulePath, (base + "missing.exe").c_str());
    EXPECT_EQ(ExtractAll(), 0);
}

TEST_F(Extract, ExistingFilesAreReplacedAndTheLastOfTwinsWins)
{
    CreateDirectoryA(dest.c_str(), NULL);
    WriteFileBytes(dest + "twin.txt", sfx::Bytes(5000, 'o'));
    sfx::Entry first = Entry("", "twin.txt", Text("first"), sfx::Bzip2);
    sfx::Entry second = Entry("", "twin.txt", Text("second"), sfx::Stored);
    second.dosDate = (30 << 9) | (6 << 5) | 15;  // 2010-06-15
    ASSERT_EQ(Run({first, second}), 1);
    EXPECT_EQ(ReadFileBytes(dest + "twin.txt"), Text("second"));
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA((dest + "twin.txt").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(TimeOf(data.ftLastWriteTime).wYear, 2010);
}

TEST_F(Extract, FailuresOfTheDiskEndTheRun)
{
    // A directory where the file should go, stored and decoded.
    CreateDirectoryA(dest.c_str(), NULL);
    CreateDirectoryA((dest + "adir").c_str(), NULL);
    EXPECT_EQ(Run({Entry("", "adir", Text("x"), sfx::Stored)}), 0);
    EXPECT_EQ(Run({Entry("", "adir", Text("x"), sfx::Bzip2)}), 0);
    // A file where a directory should go.
    WriteFileBytes(dest + "file.txt", Text("keep"));
    EXPECT_EQ(Run({Entry("file.txt\\", "x", Text("x"), sfx::Stored)}), 0);
    EXPECT_EQ(ReadFileBytes(dest + "file.txt"), Text("keep"));
    // The staging file cannot be created.
    lstrcpyA(StagingPath, (base + "no\\such\\Qel00tmp.tmp").c_str());
    EXPECT_EQ(Run({Entry("", "y", Text("y"), sfx::Stored)}), 0);
    EXPECT_FALSE(FileExists(dest + "y"));
}

TEST_F(Extract, DoubleByteNamesLandWhereTheySay)
{
    const std::string dir = "\x95\x5c\\\x83\x5c\x94\x5c\\";  // 表\ソ能\ .
    const std::string file = "\x83\x5c.txt";
    ASSERT_EQ(Run({Entry(dir, file, Text("sjis"), sfx::Bzip2)}), 1);
    EXPECT_EQ(ReadFileBytes(dest + dir + file), Text("sjis"));
    EXPECT_EQ(Tree(dest), (std::vector<std::string>{"\x95\x5c\\", "\x95\x5c\\\x83\x5c\x94\x5c\\", dir + file}));
}

TEST_F(Extract, NamesThatWouldLeaveTheDestinationFailTheRun)
{
    struct Case {
        std::string dir, file;
    };
    const Case cases[] = {
        {"..\\", "up.txt"},
        {"a\\..\\..\\", "up2.txt"},
        {"../", "up3.txt"},
        {"", "..\\up4.txt"},
        {"ok\\", "..\\..\\up5.txt"},
        {"a\\.. \\", "up6.txt"},
        {"a\\...\\", "up7.txt"},
        {"\\", "root.txt"},
        {"/", "root2.txt"},
        {"\\\\server\\share\\", "unc.txt"},
        {"C:\\", "drive.txt"},
        {"C:", "driverel.txt"},
        {"", "stream.txt:hidden"},
        {"", "CON"},
        {"", "nul.txt"},
        {"dir\\Com1\\", "x"},
        {"", "LPT9.log"},
        {"aux \\", "x"},
    };
    const std::string outside = base + "outside\\";
    CreateDirectoryA(outside.c_str(), NULL);
    lstrcpyA(DestinationDir, (outside + "inner\\").c_str());  // so ..\ lands in outside
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir + c.file);
        // A harmless entry first, so the walk is under way when it meets the bad one.
        EXPECT_EQ(Run({Entry("", "first.txt", Text("1"), sfx::Stored), Entry(c.dir, c.file, Text("evil"), sfx::Stored)}), 0);
        EXPECT_EQ(Tree(outside), (std::vector<std::string>{"inner\\", "inner\\first.txt"}));
        // The same entry without data fails too.
        EXPECT_EQ(Run({Entry(c.dir, c.file, {}, sfx::Stored)}), 0);
    }
    for (const char* absolute : {"C:\\root.txt", "C:\\root2.txt", "C:\\drive.txt", "\\root.txt"})
        EXPECT_FALSE(FileExists(absolute)) << absolute;
    EXPECT_EQ(Tree(base), (std::vector<std::string>{"Qel00tmp.tmp", "archive.exe", "outside\\", "outside\\inner\\",
                                                    "outside\\inner\\first.txt"}));
}

TEST_F(Extract, HarmlessDotsAndDeviceLookalikesAreExtracted)
{
    // COM0 and LPT0 are ordinary names: only COM1-COM9 and LPT1-LPT9 are devices.
    const char* const names[][2] = {{"..a\\", "b.."}, {"console\\", "CON1"}, {"", "com10.txt"}, {"", ".hidden"},
                                    {"", "COM0"}, {"", "lpt0.txt"}, {"LPT0\\", "com0"}, {"", "Com0.log"},
                                    {"", "LPT"}, {"", "CONSOLE.txt"}};
    for (const auto& name : names) {
        const std::string path = std::string(name[0]) + name[1];
        EXPECT_EQ(Run({Entry(name[0], name[1], Text(path), sfx::Stored)}), 1) << path;
        EXPECT_EQ(ReadFileBytes(dest + path), Text(path)) << path;
    }
}

TEST_F(Extract, TargetPathsThatDoNotFitFail)
{
    // Destination + names must stay below 260 bytes with the terminator.
    const size_t room = MAX_PATH - 1 - dest.size();
    const std::string dir = std::string(100, 'd') + "\\";
    const std::string fits = std::string(room - dir.size(), 'f');
    for (const std::string& name : {fits.substr(1), fits}) {  // one below the limit, and the limit
        ASSERT_EQ(Run({Entry(dir, name, Text("fits"), sfx::Stored)}), 1);
        EXPECT_EQ(ReadFileBytes(dest + dir + name), Text("fits"));
    }
    EXPECT_EQ(Run({Entry(dir, fits + "x", Text("long"), sfx::Stored)}), 0);  // one past
    EXPECT_EQ(Run({Entry(std::string(200, 'd') + "\\", std::string(200, 'f'), Text("longer"), sfx::Stored)}), 0);
}
