// Round trips: a tree packed by the packer (built for Windows) and extracted
// by the real stub, compared byte for byte and time for time.
#include <gtest/gtest.h>

#include <sstream>

#include "driver.h"
#include "pack.h"
#include "testutil.h"

namespace {

std::string Utf8(const std::wstring& w)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, NULL, 0, NULL, NULL);
    std::string s(n - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, NULL, NULL);
    return s;
}

std::wstring Wide(const std::string& ansi)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, NULL, 0);
    std::wstring w(n - 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &w[0], n);
    return w;
}

// 2004-05-06 07:08:10 local time.
FILETIME SourceTime()
{
    SYSTEMTIME s = {2004, 5, 0, 6, 7, 8, 10, 0};
    FILETIME local, utc;
    SystemTimeToFileTime(&s, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return utc;
}

void WriteWide(const std::wstring& path, const std::string& content)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD done;
    WriteFile(f, content.data(), (DWORD)content.size(), &done, NULL);
    const FILETIME t = SourceTime();
    SetFileTime(f, &t, &t, &t);
    CloseHandle(f);
}

}  // namespace

TEST(PackRoundTrip, ExtractedByTheRealStubAsPacked)
{
    const std::wstring base = Wide(MakeTempDir("roundtrip"));
    const std::wstring src = base + L"ソース\\";
    CreateDirectoryW(src.c_str(), NULL);
    CreateDirectoryW((src + L"表示").c_str(), NULL);
    CreateDirectoryW((src + L"表示\\能力").c_str(), NULL);

    std::string random(30000, '\0');
    uint32_t x = 7;
    for (char& c : random)
        x = x * 1664525 + 1013904223, c = (char)(x >> 24);
    std::string large;  // three blocks at -9, compressed at once and spliced
    for (int i = 0; large.size() < 2500000; i++)
        large += "line " + std::to_string(i * 7919 % 100003) + "\n";
    struct File {
        std::wstring name;
        std::string content;
    };
    const File files[] = {
        {L"説明.txt", std::string(20000, 'a') + "end"},
        {L"空.txt", ""},
        {L"upper.ZIP", "not really a zip, stored by its name"},
        {L"lower.zip", "stored as well"},
        {L"mixed.Gz", "and this"},
        {L"random.bin", random},
        {L"大きい.txt", large},
        {L"表示\\能力\\深い.dat", std::string(5000, 'd')},
    };
    for (const File& f : files)
        WriteWide(src + f.name, f.content);

    const std::wstring dest = base + L"展開先\\";
    const std::string exe = Utf8(base) + "setup.exe";
    std::ostringstream out, err;
    ASSERT_EQ(pack::Main({"-o", exe, "-q", "--dest", Utf8(dest), "--stub", KVX_STUB_PATH, Utf8(src)}, {}, out, err), 0)
        << err.str();

    std::string ansiExe;
    ASSERT_TRUE(pack::Utf8ToCp932(exe, &ansiExe));
    const RunResult run = RunToEnd(ansiExe);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].icon, (UINT)MB_ICONINFORMATION);

    const FILETIME expected = SourceTime();
    for (const File& f : files) {
        SCOPED_TRACE(Utf8(f.name));
        HANDLE h = CreateFileW((dest + f.name).c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME times[3];
        GetFileTime(h, &times[0], &times[1], &times[2]);
        std::string content(f.content.size() + 1, '\0');
        DWORD got = 0;
        ReadFile(h, &content[0], (DWORD)content.size(), &got, NULL);
        CloseHandle(h);
        content.resize(got);
        EXPECT_EQ(content, f.content);
        EXPECT_EQ(CompareFileTime(&times[2], &expected), 0);
        EXPECT_EQ(CompareFileTime(&times[0], &expected), 0);
    }
    RemoveTree(std::string(ansiExe.begin(), ansiExe.begin() + ansiExe.rfind('\\') + 1));
}
