#include "testutil.h"

#include <gtest/gtest.h>

#include "app/app.h"
#include "driver.h"

std::string MakeTempDir(const char* tag)
{
    static int counter;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string dir = std::string(temp) + "kvxtest_" + tag + "_" + std::to_string(GetCurrentProcessId()) + "_" +
                      std::to_string(GetTickCount()) + "_" +
                      std::to_string(++counter) + "\\";
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

void RemoveTree(const std::string& path)
{
    std::string dir = path;
    // Drop a closing backslash, but not the 5C second byte of a double-byte
    // character.
    if (!dir.empty() && *CharPrevA(dir.c_str(), dir.c_str() + dir.size()) == '\\')
        dir.pop_back();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string full = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

sfx::Bytes ReadFileBytes(const std::string& path)
{
    sfx::Bytes bytes;
    EXPECT_TRUE(sfx::ReadWholeFile(path, &bytes)) << path;
    return bytes;
}

void WriteFileBytes(const std::string& path, const sfx::Bytes& bytes)
{
    ASSERT_TRUE(sfx::WriteWholeFile(path, bytes)) << path;
}

sfx::Bytes FakeStub()
{
    sfx::Bytes stub(sfx::StubSize, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    return stub;
}

sfx::Bytes RealStub() { return ReadFileBytes(KVX_STUB_PATH); }

BufferScope::BufferScope() { EXPECT_EQ(AllocateBuffers(), 1); }
BufferScope::~BufferScope() { FreeBuffers(); }

ImportPatch::ImportPatch(const char* dll, const char* function, void* replacement)
    : dll_(dll), function_(function), original_(PatchImport(dll, function, replacement))
{
    EXPECT_NE(original_, nullptr) << dll << "!" << function << " is not imported";
}

ImportPatch::~ImportPatch()
{
    if (original_ != nullptr)
        PatchImport(dll_, function_, original_);
}

std::string SaveScreenshot(HWND window, const char* name)
{
    const std::string path = std::string(KVX_ARTIFACTS) + name;
    EXPECT_TRUE(SaveScreenshot(window, path)) << path;
    return path;
}

void PumpMessages(DWORD ms)
{
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(10);
    } while (GetTickCount() - start < ms);
}
