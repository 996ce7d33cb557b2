// Path utilities and directory creation, in code page 932.  Characters whose
// second byte is 0x5C, the backslash: 表 = 95 5C, ソ = 83 5C, 能 = 94 5C.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <vector>

#include "fs/fs.h"
#include "testutil.h"

#define HYO "\x95\x5c"
#define SO "\x83\x5c"
#define NOU "\x94\x5c"

namespace {

// Offset of a result pointer in its string, or -1 for null.
long At(const char* base, const char* result) { return result ? (long)(result - base) : -1; }

}  // namespace

TEST(Paths, CharDiffersAndFindCharMatchWholeCharacters)
{
    const char text[] = "a" HYO "b\\c";
    EXPECT_EQ(At(text, FindChar(text, '\\')), 4);  // not the 5C inside 表
    EXPECT_EQ(At(text, FindChar(text, 0x5C95)), 1);
    EXPECT_EQ(At(text, FindChar(text, 0x5C94)), -1);  // 能 shares 表's second byte only
    EXPECT_EQ(At(text, FindChar(text, 'z')), -1);
    EXPECT_EQ(At(SO, FindChar(SO, '\\')), -1);

    EXPECT_FALSE(CharDiffers(HYO, 0x5C95));
    EXPECT_TRUE(CharDiffers(HYO, 0x0095));  // a lead byte needs its second byte too
    EXPECT_TRUE(CharDiffers(NOU, 0x5C95));
    EXPECT_FALSE(CharDiffers("\\x", '\\'));
}

TEST(Paths, AddTrailingBackslash)
{
    struct Case {
        std::string in, out;
        long result;  // offset of the returned position, -1 for null
    };
    const Case cases[] = {
        {"", "", 0},
        {"C:\\Temp", "C:\\Temp\\", 8},
        {"C:\\Temp\\", "C:\\Temp\\", 8},
        {"C:/Temp", "C:/Temp\\", 8},
        {"dir" HYO, "dir" HYO "\\", 6},  // 表 is not a backslash
        {"dir" SO "\\", "dir" SO "\\", 6},
        {std::string(258, 'a'), std::string(258, 'a') + "\\", 259},
        {std::string(259, 'a'), std::string(259, 'a'), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        char buffer[300];
        lstrcpyA(buffer, c.in.c_str());
        EXPECT_EQ(At(buffer, AddTrailingBackslash(buffer)), c.result);
        EXPECT_EQ(std::string(buffer), c.out);
    }
    EXPECT_EQ(AddTrailingBackslash(NULL), nullptr);
}

TEST(Paths, FindExtensionFindFileNameAndUncPrefix)
{
    struct Case {
        const char* path;
        const char* extension;
        const char* fileName;
    };
    const Case cases[] = {
        {"dir\\name.txt", ".txt", "name.txt"},
        {"a.b.c", ".c", "a.b.c"},
        {"name", "", "name"},
        {"dir.x\\name", "", "name"},
        {"dir.x/name", "", "name"},
        {"name.t xt", "", "name.t xt"},
        {"name.", ".", "name."},
        {".profile", ".profile", ".profile"},
        {"C:\\dir\\file.txt", ".txt", "file.txt"},
        {"C:file.txt", ".txt", "file.txt"},
        {"dir/", "", ""},
        {"x" HYO ".ZIP", ".ZIP", "x" HYO ".ZIP"},
        {"d" HYO "\\" SO ".gz", ".gz", SO ".gz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_STREQ(FindExtension(c.path), c.extension);
        EXPECT_STREQ(FindFileName(c.path), c.fileName);
    }
    EXPECT_EQ(FindExtension(""), nullptr);
    EXPECT_EQ(FindExtension(NULL), nullptr);
    EXPECT_EQ(FindFileName(""), nullptr);

    EXPECT_TRUE(IsUncPrefix("\\\\server"));
    EXPECT_TRUE(IsUncPrefix("//server"));
    EXPECT_TRUE(IsUncPrefix("\\/"));
    EXPECT_FALSE(IsUncPrefix("\\x"));
    EXPECT_FALSE(IsUncPrefix(""));
    EXPECT_FALSE(IsUncPrefix(NULL));
}

TEST(Paths, StripFileName)
{
    struct Case {
        const char* in;
        const char* out;
        int result;
    };
    const Case cases[] = {
        {"C:\\dir\\file.exe", "C:\\dir", 1},
        {"C:\\file.exe", "C:\\", 1},
        {"C:file.exe", "C:", 1},
        {"dir\\sub\\", "dir\\sub", 1},
        {"\\\\server\\share\\file", "\\\\server\\share", 1},
        {"file.exe", "", 1},
        {"\\file", "\\", 1},
        {"\\", "\\", 0},
        {"C:\\", "C:\\", 0},
        {"C:", "C:", 0},
        {"dir/file", "", 1},  // the forward slash does not count here
        {"C:\\" HYO "\\" SO, "C:\\" HYO, 1},
        {"C:\\dir" SO, "C:\\", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        char buffer[MAX_PATH];
        lstrcpyA(buffer, c.in);
        EXPECT_EQ(StripFileName(buffer), c.result);
        EXPECT_STREQ(buffer, c.out);
    }
    char empty[4] = "";
    EXPECT_EQ(StripFileName(empty), 0);
    EXPECT_EQ(StripFileName(NULL), 0);
}

TEST(Paths, SkipPathRootAndConvertSlashes)
{
    struct Case {
        const char* path;
        const char* rest;
    };
    const Case cases[] = {
        {"C:\\out\\sub", "out\\sub"},
        {"\\\\server\\share\\dir", "dir"},
        {"//server/share\\a", "a"},   // only backslashes are counted behind the prefix
        {"\\\\server\\share", "share"},
        {"\\\\server", "server"},
        {"\\top\\sub", "top\\sub"},
        {"rel\\dir", "rel\\dir"},
        {"C:dir", "C:dir"},
        {HYO ":\\x", HYO ":\\x"},  // a lead byte is no drive letter
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_STREQ(SkipPathRoot(c.path), c.rest);
    }
    EXPECT_EQ(SkipPathRoot(""), nullptr);

    char text[] = "a/b" HYO "/c/";
    EXPECT_EQ(At(text, ConvertSlashes(text)), (long)sizeof(text) - 1);
    EXPECT_STREQ(text, "a\\b" HYO "\\c\\");
    EXPECT_EQ(ConvertSlashes(NULL), nullptr);
}

TEST(Paths, PathExists)
{
    const std::string dir = MakeTempDir("exists");
    WriteFileBytes(dir + "file", {});
    EXPECT_TRUE(PathExists((dir + "file").c_str()));
    EXPECT_TRUE(PathExists(dir.substr(0, dir.size() - 1).c_str()));
    EXPECT_FALSE(PathExists((dir + "missing").c_str()));
    EXPECT_TRUE(PathExists("Q:\\"));  // a drive root, never looked up
    EXPECT_FALSE(PathExists(""));
    EXPECT_FALSE(PathExists(NULL));
    RemoveTree(dir);
}

namespace {

// Records the names CreateDirectoryChain looks up and creates, and the shell
// notifications it sends, while passing every call on.
std::vector<std::string> lookedUp, created, notified;
decltype(&FindFirstFileA) realFindFirstFileA;
decltype(&CreateDirectoryA) realCreateDirectoryA;

HANDLE WINAPI RecordFindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data)
{
    lookedUp.push_back(name);
    return realFindFirstFileA(name, data);
}

BOOL WINAPI RecordCreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security)
{
    created.push_back(name);
    return realCreateDirectoryA(name, security);
}

void WINAPI RecordSHChangeNotify(LONG event, UINT flags, LPCVOID item, LPCVOID)
{
    if (event == SHCNE_MKDIR && flags == SHCNF_PATHA)
        notified.push_back((const char*)item);
}

class DirectoryChain : public ::testing::Test {
protected:
    DirectoryChain()
        : find("kernel32.dll", "FindFirstFileA", (void*)RecordFindFirstFileA),
          create("kernel32.dll", "CreateDirectoryA", (void*)RecordCreateDirectoryA),
          notify("shell32.dll", "SHChangeNotify", (void*)RecordSHChangeNotify)
    {
        realFindFirstFileA = (decltype(realFindFirstFileA))find.original();
        realCreateDirectoryA = (decltype(realCreateDirectoryA))create.original();
        base = MakeTempDir("chain");
        lookedUp.clear(), created.clear(), notified.clear();
    }
    ~DirectoryChain() override { RemoveTree(base); }

    ImportPatch find, create, notify;
    std::string base;  // ends with a backslash
};

bool IsDirectory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

TEST_F(DirectoryChain, CreatesEachMissingLevelInOrderAndNotifiesTheShell)
{
    const std::string drive = base.substr(0, 3);  // "C:\"
    ASSERT_EQ(drive[1], ':');
    const std::string rest = base.substr(3);     // "users\...\chain_N\"
    ASSERT_TRUE(CreateDirectoryChain((base + "a/b\\c").c_str()));
    EXPECT_TRUE(IsDirectory(base + "a\\b\\c"));

    // Every prefix behind the drive root is looked up, shortest first; the
    // root itself never is.
    std::vector<std::string> expected;
    for (size_t at = rest.find('\\'); at != std::string::npos; at = rest.find('\\', at + 1))
        expected.push_back(drive + rest.substr(0, at));
    for (const char* tail : {"a", "a\\b", "a\\b\\c"})
        expected.push_back(base + tail);
    EXPECT_EQ(lookedUp, expected);
    const std::vector<std::string> made = {base + "a", base + "a\\b", base + "a\\b\\c"};
    EXPECT_EQ(created, made);
    EXPECT_EQ(notified, made);

    // A second time everything exists: nothing created, nothing announced.
    created.clear(), notified.clear();
    EXPECT_TRUE(CreateDirectoryChain((base + "a\\b\\c\\").c_str()));
    EXPECT_TRUE(created.empty());
    EXPECT_TRUE(notified.empty());
}

TEST_F(DirectoryChain, DoubleByteNamesAreNotSplitAtTheirSecondByte)
{
    const std::string path = base + HYO "\\" SO NOU "\\x" HYO;
    ASSERT_TRUE(CreateDirectoryChain(path.c_str()));
    EXPECT_EQ(created, (std::vector<std::string>{base + HYO, base + HYO "\\" SO NOU, path})) << ::testing::PrintToString(lookedUp);
    EXPECT_TRUE(IsDirectory(path));
    // The lead byte alone was never a directory of its own.
    EXPECT_FALSE(PathExists((base + "\x95").c_str()));
}

TEST_F(DirectoryChain, FileInTheWayFailsAndCreatesNothingBehindIt)
{
    WriteFileBytes(base + "blocker", {1});
    EXPECT_FALSE(CreateDirectoryChain((base + "blocker\\sub").c_str()));
    EXPECT_TRUE(created.empty());
    EXPECT_FALSE(PathExists((base + "blocker\\sub").c_str()));

    // Directories made before the failing level stay.
    ASSERT_TRUE(CreateDirectoryChain((base + "x").c_str()));
    WriteFileBytes(base + "x\\file", {1});
    EXPECT_FALSE(CreateDirectoryChain((base + "x\\file\\deeper").c_str()));
    EXPECT_TRUE(IsDirectory(base + "x"));
}

TEST_F(DirectoryChain, RootsAndLimits)
{
    EXPECT_TRUE(CreateDirectoryChain("C:\\"));
    EXPECT_TRUE(CreateDirectoryChain("\\\\server\\share"));
    EXPECT_TRUE(lookedUp.empty());
    EXPECT_FALSE(CreateDirectoryChain(""));
    EXPECT_FALSE(CreateDirectoryChain(NULL));

    // 258 bytes is the longest directory part a target path can have; 259
    // could not take its closing backslash and is refused untouched.
    std::string longPath = base;
    while (longPath.size() < 240)
        longPath += "dddddddddd\\";
    longPath.resize(258, 'd');
    EXPECT_FALSE(CreateDirectoryChain((longPath + "e").c_str()));
    EXPECT_TRUE(created.empty());
    EXPECT_FALSE(CreateDirectoryChain(std::string(400, 'z').c_str()));
    EXPECT_TRUE(CreateDirectoryChain(longPath.c_str()));
    EXPECT_TRUE(IsDirectory(longPath));
}
