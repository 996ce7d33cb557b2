// Decoding one staging file into its destination, with the progress bar's
// messages recorded as the control receives them.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include "app/app.h"
#include "archive/archive.h"
#include "testutil.h"
#include "ui/ui.h"

namespace {

struct Message {
    UINT id;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Message& o) const { return id == o.id && wParam == o.wParam && lParam == o.lParam; }
};
std::ostream& operator<<(std::ostream& os, const Message& m)
{
    return os << "{" << m.id - WM_USER << ", " << m.wParam << ", " << std::hex << m.lParam << std::dec << "}";
}

std::vector<Message> received;
WNDPROC barProcedure;

LRESULT CALLBACK RecordBar(HWND window, UINT id, WPARAM wParam, LPARAM lParam)
{
    if (id > WM_USER && id < WM_USER + 0x20)
        received.push_back({id, wParam, lParam});
    return CallWindowProcA(barProcedure, window, id, wParam, lParam);
}

Message Range(WORD maximum) { return {PBM_SETRANGE, 0, (LPARAM)MAKELPARAM(0, maximum)}; }
Message Step() { return {PBM_SETSTEP, 1, 0}; }
Message Pos(WPARAM position) { return {PBM_SETPOS, position, 0}; }

sfx::Bytes Pattern(size_t size)
{
    sfx::Bytes data(size);
    uint32_t x = 12345;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245 + 12345;
        data[i] = (uint8_t)((x >> 16) % 40 + ' ');  // compressible, not trivially
    }
    return data;
}

class Decompress : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir("decompress");
        staging = dir + "Qel00tmp.tmp";
        target = dir + "out.bin";
        lstrcpyA(ModulePath, "C:\\setup.exe");
    }
    void TearDown() override
    {
        CloseProgressWindow();
        ProgressWindow = NULL;
        RemoveTree(dir);
    }

    void WithProgressWindow()
    {
        OpenProgressWindow();
        ASSERT_NE(ProgressWindow, nullptr);
        HWND bar = GetDlgItem(ProgressWindow, ProgressBarId);
        barProcedure = (WNDPROC)SetWindowLongPtrA(bar, GWLP_WNDPROC, (LONG_PTR)RecordBar);
        received.clear();
    }

    int Run(const sfx::Bytes& stagingBytes, DWORD unpackedSize)
    {
        WriteFileBytes(staging, stagingBytes);
        CurrentEntry.Header.UnpackedSize = unpackedSize;
        return DecompressToFile(staging.c_str(), target.c_str());
    }

    BufferScope buffers;
    std::string dir, staging, target;
};

}  // namespace

TEST_F(Decompress, StreamsFromTheBzip2Program)
{
    for (const char* sample : {"sample1", "sample3", "sample2.1"}) {
        SCOPED_TRACE(sample);
        std::string name = sample;  // sample2.1 is sample2 compressed with -1
        const std::string ref = std::string(KVX_TESTDATA) + name.substr(0, name.find('.')) + ".ref";
        const sfx::Bytes expected = ReadFileBytes(ref);
        ASSERT_EQ(Run(ReadFileBytes(std::string(KVX_TESTDATA) + sample + ".bz2"), (DWORD)expected.size()), 1);
        EXPECT_EQ(ReadFileBytes(target), expected);
    }
}

TEST_F(Decompress, ProgressFollowsTheBytesWritten)
{
    ASSERT_NO_FATAL_FAILURE(WithProgressWindow());
    const std::vector<Message> idle = {Range(100), Step()};
    struct Case {
        size_t size;
        std::vector<Message> expected;
    };
    std::vector<Message> big = {Range(26), Step()};
    for (WPARAM p = 1; p <= 26; p++)
        big.push_back(Pos(p));
    big.push_back(Pos(26));  // the last, short chunk
    const Case cases[] = {
        {32768, {Range(2), Step(), Pos(1), Pos(2)}},
        {437778, big},
        {100, {Range(0), Step(), Pos(0)}},
        {0, {Range(0), Step()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        received.clear();
        const sfx::Bytes data = Pattern(c.size);
        ASSERT_EQ(Run(sfx::Bzip2Compress(data), (DWORD)c.size), 1);
        std::vector<Message> expected = c.expected;
        expected.insert(expected.end(), idle.begin(), idle.end());
        EXPECT_EQ(received, expected);
        EXPECT_EQ(ReadFileBytes(target), data);
    }

    // The range is the size in 16 KiB units cut to 16 bits: 1 GiB gives 0.
    received.clear();
    ASSERT_EQ(Run(sfx::Bzip2Compress(Pattern(10)), 1u << 30), 1);
    EXPECT_EQ(received.front(), Range(0));
    received.clear();
    ASSERT_EQ(Run(sfx::Bzip2Compress(Pattern(10)), (1u << 30) + 5 * 16384), 1);
    EXPECT_EQ(received.front(), Range(5));

    // The path line shows the destination while decoding and our own path after.
    char line[300];
    GetDlgItemTextA(ProgressWindow, PathLineId, line, sizeof(line));
    EXPECT_STREQ(line, "C:\\setup.exe");
}

TEST_F(Decompress, DamagedOrForeignStagingFiles)
{
    ASSERT_NO_FATAL_FAILURE(WithProgressWindow());
    const sfx::Bytes data = Pattern(100000);
    const sfx::Bytes stream = sfx::Bzip2Compress(data, 1);
    const std::vector<Message> idleOnly = {Range(100), Step()};

    // Not a stream, or empty: the destination exists, empty; no per-file display.
    for (const sfx::Bytes& foreign : {sfx::Bytes{}, sfx::Bytes{'P', 'K', 3, 4, 0, 0}}) {
        received.clear();
        EXPECT_EQ(Run(foreign, 6), 0);
        EXPECT_TRUE(FileExists(target));
        EXPECT_TRUE(ReadFileBytes(target).empty());
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received[0], Range(0));  // the stream was opened; the first read fails
    }

    // Cut short: every complete chunk is written, the one in progress is not.
    received.clear();
    EXPECT_EQ(Run(sfx::Bytes(stream.begin(), stream.begin() + stream.size() - 20), 100000), 0);
    const sfx::Bytes partial = ReadFileBytes(target);
    EXPECT_EQ(partial.size() % 16384, 0u);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), data.begin()));
    EXPECT_EQ(std::vector<Message>(received.end() - 2, received.end()), idleOnly);

    // A corrupted block fails its check values.
    sfx::Bytes corrupt = stream;
    corrupt[corrupt.size() / 2] ^= 0x10;
    EXPECT_EQ(Run(corrupt, 100000), 0);

    // Bytes after the end of the stream are ignored.
    sfx::Bytes extra = stream;
    extra.insert(extra.end(), {'j', 'u', 'n', 'k'});
    EXPECT_EQ(Run(extra, 100000), 1);
    EXPECT_EQ(ReadFileBytes(target), data);

    // A destination that cannot be created: only the idle display is set.
    received.clear();
    CreateDirectoryA((dir + "isdir").c_str(), NULL);
    WriteFileBytes(staging, stream);
    EXPECT_EQ(DecompressToFile(staging.c_str(), (dir + "isdir").c_str()), 0);
    EXPECT_EQ(received, idleOnly);
}

TEST_F(Decompress, ReplacesAnExistingFileAndWorksWithoutAWindow)
{
    WriteFileBytes(target, sfx::Bytes(300000, 'o'));
    const sfx::Bytes data = Pattern(50000);
    ASSERT_EQ(Run(sfx::Bzip2Compress(data), 50000), 1);
    EXPECT_EQ(ReadFileBytes(target), data);

    // The staging file is closed again: it can be deleted at once.
    EXPECT_TRUE(DeleteFileA(staging.c_str()));
}
