// Failing disks and files, injected into the extraction through this test
// program's import table: every failure ends the run with 0, leaves no handle
// open, and leaves no staging file once the buffers are released.
#include <gtest/gtest.h>

#include <set>

#include "app/app.h"
#include "archive/archive.h"
#include "testutil.h"

namespace {

decltype(&CreateFileA) realCreateFileA;
decltype(&CloseHandle) realCloseHandle;
decltype(&WriteFile) realWriteFile;
decltype(&ReadFile) realReadFile;
decltype(&CopyFileA) realCopyFileA;

std::set<HANDLE> openHandles;      // handles opened through CreateFileA and not closed
std::string failOpenOf;     // CreateFileA of this path fails
int writesLeft = -1;        // writes that succeed before one fails (-1: none fails)
bool shortWrite = false;    // the failing write reports half its bytes instead
int readsLeft = -1;         // reads of entry data that succeed before one fails
bool copyFails = false;

HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                              DWORD flags, HANDLE tmpl)
{
    if (!failOpenOf.empty() && lstrcmpiA(name, failOpenOf.c_str()) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = realCreateFileA(name, access, share, sa, disposition, flags, tmpl);
    if (h != INVALID_HANDLE_VALUE)
        openHandles.insert(h);
    return h;
}

BOOL WINAPI FakeCloseHandle(HANDLE h)
{
    openHandles.erase(h);
    return realCloseHandle(h);
}

BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD done, LPOVERLAPPED o)
{
    if (writesLeft == 0) {
        if (shortWrite)
            return realWriteFile(h, data, n / 2, done, o);  // the disk filled up part way
        SetLastError(ERROR_DISK_FULL);
        *done = 0;
        return FALSE;
    }
    if (writesLeft > 0)
        writesLeft--;
    return realWriteFile(h, data, n, done, o);
}

BOOL WINAPI FakeReadFile(HANDLE h, LPVOID data, DWORD n, LPDWORD done, LPOVERLAPPED o)
{
    if (n > 1000 && readsLeft == 0) {  // entry data, not a header
        SetLastError(ERROR_READ_FAULT);
        *done = 0;
        return FALSE;
    }
    if (n > 1000 && readsLeft > 0)
        readsLeft--;
    return realReadFile(h, data, n, done, o);
}

BOOL WINAPI FakeCopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    if (copyFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return realCopyFileA(from, to, failIfExists);
}

sfx::Bytes Pattern(size_t n)
{
    sfx::Bytes data(n);
    uint32_t x = 5;
    for (uint8_t& b : data)
        x = x * 1103515245 + 12345, b = (uint8_t)((x >> 16) % 50);
    return data;
}

class Faults : public ::testing::Test {
protected:
    Faults()
        : create("kernel32.dll", "CreateFileA", (void*)FakeCreateFileA),
          close("kernel32.dll", "CloseHandle", (void*)FakeCloseHandle),
          write("kernel32.dll", "WriteFile", (void*)FakeWriteFile),
          read("kernel32.dll", "ReadFile", (void*)FakeReadFile),
          copy("kernel32.dll", "CopyFileA", (void*)FakeCopyFileA)
    {
        realCreateFileA = (decltype(realCreateFileA))create.original();
        realCloseHandle = (decltype(realCloseHandle))close.original();
        realWriteFile = (decltype(realWriteFile))write.original();
        realReadFile = (decltype(realReadFile))read.original();
        realCopyFileA = (decltype(realCopyFileA))copy.original();
    }

    void SetUp() override
    {
        base = MakeTempDir("faults");
        ASSERT_EQ(AllocateBuffers(), 1);
        lstrcpyA(ModulePath, (base + "archive.exe").c_str());
        lstrcpyA(DestinationDir, (base + "dest\\").c_str());
        lstrcpyA(StagingPath, (base + "Qel00tmp.tmp").c_str());
        ProgressWindow = NULL;
        // A stored entry of three staging chunks, then a compressed one of ten
        // decoded chunks.
        content = Pattern(1200000);
        sfx::Entry stored;
        stored.fileName = "stored.bin";
        stored.data = content;
        stored.unpackedSize = (uint32_t)content.size();
        packed = Pattern(10 * 16384);
        sfx::Entry compressed;
        compressed.fileName = "packed.bin";
        compressed.method = sfx::Bzip2;
        compressed.data = sfx::Bzip2Compress(packed);
        compressed.unpackedSize = (uint32_t)packed.size();
        WriteFileBytes(ModulePath, sfx::BuildArchive(FakeStub(), {}, {sfx::EncodeEntry(stored), sfx::EncodeEntry(compressed)}));
        openHandles.clear();
        failOpenOf.clear();
        writesLeft = readsLeft = -1;
        shortWrite = copyFails = false;
    }

    void TearDown() override
    {
        failOpenOf.clear();
        writesLeft = readsLeft = -1;
        copyFails = false;
        const std::string staging = StagingPath;
        FreeBuffers();
        EXPECT_FALSE(FileExists(staging)) << "the staging file outlived the run";
        RemoveTree(base);
    }

    // Runs the extraction under the current fault; it must fail cleanly.
    void ExpectCleanFailure()
    {
        EXPECT_EQ(ExtractAll(), 0);
        EXPECT_TRUE(openHandles.empty()) << openHandles.size() << " handles left open";
        // Nothing holds the staging file or the targets any more.
        writesLeft = readsLeft = -1;
        failOpenOf.clear();
        for (const char* name : {"stored.bin", "packed.bin"}) {
            const std::string path = std::string(DestinationDir) + name;
            if (FileExists(path))
                EXPECT_TRUE(DeleteFileA(path.c_str())) << name;
        }
        // (The staging file is removed by FreeBuffers, checked in TearDown.)
    }

    ImportPatch create, close, write, read, copy;
    std::string base;
    sfx::Bytes content, packed;
};

}  // namespace

TEST_F(Faults, WithoutFaultsEverythingIsExtracted)
{
    ASSERT_EQ(ExtractAll(), 1);
    EXPECT_TRUE(openHandles.empty());
    EXPECT_EQ(ReadFileBytes(std::string(DestinationDir) + "stored.bin"), content);
    EXPECT_EQ(ReadFileBytes(std::string(DestinationDir) + "packed.bin"), packed);
}

TEST_F(Faults, FullDiskAtAnyWrite)
{
    // Three staging writes for the stored entry, one more for the compressed
    // entry's staging, then ten writes of decoded chunks.
    for (int at = 0; at < 14; at++) {
        for (bool partial : {false, true}) {
            SCOPED_TRACE(std::to_string(at) + (partial ? " short" : " failed"));
            writesLeft = at;
            shortWrite = partial;
            ExpectCleanFailure();
        }
    }
}

TEST_F(Faults, ReadFailsWhileStaging)
{
    for (int at = 0; at < 3; at++) {
        SCOPED_TRACE(at);
        readsLeft = at;
        ExpectCleanFailure();
    }
}

TEST_F(Faults, StagingFileOrTargetCannotBeOpened)
{
    failOpenOf = StagingPath;
    ExpectCleanFailure();
    EXPECT_FALSE(FileExists(std::string(DestinationDir) + "stored.bin"));

    // A read-only target: the copy is refused, and so is a new file for decoding.
    copyFails = true;
    ExpectCleanFailure();
    copyFails = false;
    failOpenOf = std::string(DestinationDir) + "packed.bin";
    ExpectCleanFailure();

    // Our own file cannot be opened: nothing starts.
    failOpenOf = ModulePath;
    ExpectCleanFailure();
}
