// File access primitives against the real Windows file API.
#include <gtest/gtest.h>

#include "fs/fs.h"
#include "testutil.h"

namespace {

class FileIo : public ::testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir("fileio"); }
    void TearDown() override { RemoveTree(dir); }
    std::string dir;
};

DWORD Position(HANDLE file) { return SetFilePointer(file, 0, NULL, FILE_CURRENT); }

}  // namespace

TEST_F(FileIo, ReadsCountShortReadsAndEndOfFile)
{
    const std::string path = dir + "ten.bin";
    WriteFileBytes(path, sfx::Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    HANDLE file = OpenFileHandle(path.c_str(), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[16] = {};

    // A count of 0 reads nothing and does not move the position.
    EXPECT_EQ(ReadBytes(file, buffer, 0), 0u);
    EXPECT_EQ(Position(file), 0u);

    EXPECT_EQ(ReadBytes(file, buffer, 4), 4u);
    EXPECT_EQ(buffer[3], 3);
    // Near the end the count is what was left; at the end it is 0.
    EXPECT_EQ(ReadBytes(file, buffer, 16), 6u);
    EXPECT_EQ(buffer[5], 9);
    EXPECT_EQ(ReadBytes(file, buffer, 16), 0u);

    // A position past the end is allowed; the read there brings nothing.
    EXPECT_EQ(SeekTo(file, 53248, FILE_BEGIN), 53248u);
    EXPECT_EQ(ReadBytes(file, buffer, 4), 0u);
    FlushAndClose(file);
}

TEST_F(FileIo, FailedReadLooksLikeEndOfFile)
{
    const std::string path = dir + "w.bin";
    HANDLE file = OpenFileHandle(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[4];
    EXPECT_EQ(ReadBytes(file, buffer, 4), 0u);  // no read access
    FlushAndClose(file);
}

TEST_F(FileIo, WritesAllOrReportFailure)
{
    const std::string path = dir + "out.bin";
    HANDLE file = OpenFileHandle(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteBytes(file, "abc", 0));
    EXPECT_TRUE(WriteBytes(file, "abc", 3));
    FlushAndClose(file);
    EXPECT_EQ(ReadFileBytes(path), (sfx::Bytes{'a', 'b', 'c'}));

    HANDLE reader = OpenFileHandle(path.c_str(), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteBytes(reader, "x", 1));  // no write access
    FlushAndClose(reader);
}

TEST_F(FileIo, OpenDispositions)
{
    const std::string path = dir + "existing.bin";
    EXPECT_EQ(OpenFileHandle(path.c_str(), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);

    WriteFileBytes(path, sfx::Bytes(1000, 7));
    // OPEN_EXISTING for writing keeps the contents.
    HANDLE file = OpenFileHandle(path.c_str(), GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, NULL), 1000u);
    FlushAndClose(file);

    // CREATE_ALWAYS empties an existing file without asking.
    file = OpenFileHandle(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, NULL), 0u);
    FlushAndClose(file);
    EXPECT_TRUE(ReadFileBytes(path).empty());

    EXPECT_EQ(OpenFileHandle((dir + "no\\such\\dir.bin").c_str(), GENERIC_WRITE, CREATE_ALWAYS),
              INVALID_HANDLE_VALUE);
}

TEST_F(FileIo, OthersMayReadButNotWriteOrDelete)
{
    const std::string path = dir + "shared.bin";
    for (DWORD access : {DWORD(GENERIC_READ), DWORD(GENERIC_WRITE)}) {
        SCOPED_TRACE(access == GENERIC_READ ? "held for reading" : "held for writing");
        WriteFileBytes(path, sfx::Bytes(10, 1));
        HANDLE held = OpenFileHandle(path.c_str(), access, OPEN_EXISTING);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);

        HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_EXISTING, 0, NULL);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE);
        if (reader != INVALID_HANDLE_VALUE)
            CloseHandle(reader);
        HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);
        EXPECT_FALSE(DeleteFileA(path.c_str()));

        FlushAndClose(held);
        EXPECT_TRUE(DeleteFileA(path.c_str()));
    }
}

TEST_F(FileIo, FlushAndCloseIgnoresNullAndReleasesHandle)
{
    FlushAndClose(NULL);
    const std::string path = dir + "closed.bin";
    HANDLE file = OpenFileHandle(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FlushAndClose(file);
    // Closed for real: the file can be deleted now.
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}
