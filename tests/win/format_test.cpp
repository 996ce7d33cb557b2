// The readers of the self-extracting file: configuration block and payload
// entries, over files made with the format writer.
#include <gtest/gtest.h>

#include <vector>

#include "app/app.h"
#include "archive/archive.h"
#include "fs/fs.h"
#include "testutil.h"

namespace {

sfx::Entry MakeEntry(const std::string& dir, const std::string& file, size_t dataSize)
{
    sfx::Entry e;
    e.dirName = dir;
    e.fileName = file;
    e.data.resize(dataSize);
    for (size_t i = 0; i < dataSize; i++)
        e.data[i] = (uint8_t)(i * 7);
    e.unpackedSize = (uint32_t)dataSize;
    return e;
}

class Format : public ::testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir("format"); }
    void TearDown() override
    {
        if (file != NULL && file != INVALID_HANDLE_VALUE)
            FlushAndClose(file);
        RemoveTree(dir);
    }

    // Writes stub + entries (+ trailing bytes) and opens the file for reading.
    void Open(const std::vector<sfx::Bytes>& entries, const sfx::Bytes& trailer = {})
    {
        sfx::Bytes bytes = sfx::BuildArchive(FakeStub(), {}, entries);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        path = dir + "archive.exe";
        WriteFileBytes(path, bytes);
        file = OpenFileHandle(path.c_str(), GENERIC_READ, OPEN_EXISTING);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }

    // Walks from the first entry, consuming each entry's data; returns the
    // file names read.
    std::vector<std::string> Walk()
    {
        std::vector<std::string> names;
        for (DWORD index = 0; ReadNextEntry(file, index); index++) {
            names.push_back(std::string(EntryDirName) + EntryFileName);
            SetFilePointer(file, CurrentEntry.Header.PackedSize, NULL, FILE_CURRENT);
        }
        return names;
    }

    DWORD Position() { return SetFilePointer(file, 0, NULL, FILE_CURRENT); }

    BufferScope buffers;
    std::string dir, path;
    HANDLE file = NULL;
};

}  // namespace

TEST(Checksum, CountsBytesAsSigned)
{
    BufferScope buffers;
    EntryHeader& h = CurrentEntry.Header;
    ZeroMemory(&h, sizeof(h));
    ZeroMemory(EntryDirName, MAX_PATH);
    ZeroMemory(EntryFileName, MAX_PATH);
    h.Tag[0] = 'B', h.Tag[1] = 'Z', h.Tag[2] = '2';
    EXPECT_TRUE(VerifyEntryChecksum(206));

    h.FileNameLength = 2;
    EntryFileName[0] = (char)0x83, EntryFileName[1] = 0x41;
    EXPECT_TRUE(VerifyEntryChecksum(148));
    EXPECT_FALSE(VerifyEntryChecksum(404));  // the unsigned sum

    h.FileNameLength = 0;
    h.UnpackedSize = 0x80808080;
    EXPECT_TRUE(VerifyEntryChecksum((DWORD)-306));
    EXPECT_FALSE(VerifyEntryChecksum(306));
}

TEST_F(Format, WorkedExampleOffsets)
{
    ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry("", "readme12.txt", 9754))}));
    EXPECT_EQ(GetFileSize(file, NULL), 63042u);
    ASSERT_TRUE(ReadNextEntry(file, 0));
    EXPECT_EQ(Position(), 53288u);  // first data byte
    EXPECT_STREQ(EntryDirName, "");
    EXPECT_STREQ(EntryFileName, "readme12.txt");
    EXPECT_EQ(CurrentEntry.Header.PackedSize, 9754u);
    EXPECT_EQ(CurrentEntry.Header.UnpackedSize, 9754u);
    SetFilePointer(file, 9754, NULL, FILE_CURRENT);
    EXPECT_FALSE(ReadNextEntry(file, 1));
}

TEST_F(Format, WalkEndsAtFirstUnreadableEntry)
{
    struct Case {
        const char* what;
        sfx::Damage damage;
        size_t entriesRead;
    };
    sfx::Damage badTag;
    badTag.tag = std::array<uint8_t, 4>{'B', 'Z', '2', '1'};
    sfx::Damage badFirstTag;
    badFirstTag.tag = std::array<uint8_t, 4>{'b', 'Z', '2', 0};
    sfx::Damage badChecksum;
    badChecksum.checksumDelta = 1;
    sfx::Damage unsignedSum;
    unsignedSum.unsignedChecksum = true;
    const Case cases[] = {
        {"intact", {}, 3},
        {"fourth tag byte not zero", badTag, 1},
        {"first tag byte", badFirstTag, 1},
        {"checksum off by one", badChecksum, 1},
        {"checksum summed as unsigned bytes", unsignedSum, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The middle entry carries the damage; its name has bytes above 0x7F.
        ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry("a\\", "one", 10)),
              sfx::EncodeEntry(MakeEntry("\x83\x5c\\", "\x95\x5c.txt", 20), c.damage),
              sfx::EncodeEntry(MakeEntry("", "three", 0))}));
        EXPECT_EQ(Walk().size(), c.entriesRead);
        FlushAndClose(file);
        file = NULL;
    }
}

TEST_F(Format, StrayBytesAfterLastEntryEndTheWalk)
{
    for (size_t stray = 1; stray <= 3; stray++) {
        SCOPED_TRACE(stray);
        ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry("", "last", 100))}, sfx::Bytes(stray, 0xAB)));
        EXPECT_EQ(Walk(), std::vector<std::string>{"last"});
        FlushAndClose(file);
        file = NULL;
    }
}

TEST_F(Format, NameLengthLimits)
{
    for (size_t length : {258, 259}) {  // one below the limit, and the limit
        const std::string longName(length, 'n');
        ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry(longName, longName, 1))}));
        ASSERT_TRUE(ReadNextEntry(file, 0));
        EXPECT_EQ(std::string(EntryDirName), longName);
        EXPECT_EQ(std::string(EntryFileName), longName);
        FlushAndClose(file);
    }

    // 260 fails before any name byte is read, for either name.
    for (int which = 0; which < 2; which++) {
        sfx::Damage tooLong;
        (which == 0 ? tooLong.dirNameLength : tooLong.fileNameLength) = 260;
        sfx::Entry e = MakeEntry(std::string(which == 0 ? 260 : 0, 'd'), std::string(which == 1 ? 260 : 0, 'f'), 1);
        ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(e, tooLong)}));
        EXPECT_FALSE(ReadNextEntry(file, 0));
        EXPECT_EQ(Position(), sfx::StubSize + 28);
        FlushAndClose(file);
    }
    file = NULL;
}

TEST_F(Format, EmptyPayloadAndEmptyNames)
{
    ASSERT_NO_FATAL_FAILURE(Open({}));
    EXPECT_FALSE(ReadNextEntry(file, 0));
    FlushAndClose(file);

    ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry("", "", 3))}));
    ASSERT_TRUE(ReadNextEntry(file, 0));
    EXPECT_STREQ(EntryDirName, "");
    EXPECT_STREQ(EntryFileName, "");
}

TEST_F(Format, NamesAreTerminatedAfterLongerPredecessor)
{
    ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry("long\\directory\\", "long-file-name.txt", 1)),
          sfx::EncodeEntry(MakeEntry("d\\", "f", 1))}));
    EXPECT_EQ(Walk(), (std::vector<std::string>{"long\\directory\\long-file-name.txt", "d\\f"}));
}

TEST_F(Format, SecondWalkStartsAgainAtFirstEntry)
{
    ASSERT_NO_FATAL_FAILURE(Open({sfx::EncodeEntry(MakeEntry("", "first", 5)), sfx::EncodeEntry(MakeEntry("", "second", 5))}));
    EXPECT_EQ(Walk().size(), 2u);
    ASSERT_TRUE(ReadNextEntry(file, 0));
    EXPECT_STREQ(EntryFileName, "first");
}

TEST_F(Format, TruncatedHeaderOrNameAndNullHandle)
{
    EXPECT_FALSE(ReadNextEntry(NULL, 0));
    const sfx::Bytes whole = sfx::EncodeEntry(MakeEntry("dir\\", "name", 0));
    for (size_t keep : {size_t(2), size_t(4), size_t(20), size_t(28), size_t(30), whole.size() - 1}) {
        SCOPED_TRACE(keep);
        ASSERT_NO_FATAL_FAILURE(Open({sfx::Bytes(whole.begin(), whole.begin() + keep)}));
        EXPECT_FALSE(ReadNextEntry(file, 0));
        FlushAndClose(file);
    }
    file = NULL;
}

TEST_F(Format, ConfigBlockFields)
{
    sfx::Bytes bytes = FakeStub();
    std::string error;
    ASSERT_TRUE(sfx::WriteConfigBlock(bytes, {"\x83\x5e\x83\x43\x83\x67\x83\x8b", "", "C:\\dest", "readme.txt"}, &error)) << error;
    ASSERT_TRUE(sfx::WriteConfigField(bytes, sfx::Message, std::string(256, 'm'), &error));
    // An empty field is empty whatever follows its first byte.
    bytes[sfx::ConfigBlockOffset + 3 * 256 + 0] = 0;
    bytes[sfx::ConfigBlockOffset + 3 * 256 + 1] = 'x';
    path = dir + "config.exe";
    WriteFileBytes(path, bytes);
    lstrcpyA(ModulePath, path.c_str());

    ASSERT_TRUE(ReadConfigBlock());
    EXPECT_STREQ(DialogTitle, "\x83\x5e\x83\x43\x83\x67\x83\x8b");
    EXPECT_EQ(std::string(DialogMessage), std::string(256, 'm'));
    EXPECT_STREQ(DestinationDir, "C:\\dest");
    EXPECT_STREQ(LaunchFileName, "");

    // The file must be open-able and hold the whole block.
    bytes.resize(sfx::ConfigBlockOffset + 3 * 256 + 255);
    WriteFileBytes(path, bytes);
    EXPECT_FALSE(ReadConfigBlock());
    lstrcpyA(ModulePath, (dir + "missing.exe").c_str());
    EXPECT_FALSE(ReadConfigBlock());
}
