// The format writer, natively: checksums, entry layout, configuration block,
// and the deliberate damage the reader tests rely on.
#include <gtest/gtest.h>

#include "sfxwriter.h"

namespace {

uint32_t Get32(const sfx::Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; }
uint16_t Get16(const sfx::Bytes& b, size_t at) { return (uint16_t)(b[at] | b[at + 1] << 8); }

sfx::Bytes Stub()
{
    sfx::Bytes stub(sfx::StubSize, 0);
    stub[0] = 'M', stub[1] = 'Z';
    return stub;
}

}  // namespace

TEST(SfxWriter, ChecksumWorkedValues)
{
    sfx::Entry tagOnly;
    tagOnly.dosDate = 0;
    tagOnly.attributes = 0;
    tagOnly.method = 0;
    EXPECT_EQ(Get32(sfx::EncodeEntry(tagOnly), 0), 206u);

    sfx::Entry name = tagOnly;
    name.fileName = "\x83\x41";
    EXPECT_EQ(Get32(sfx::EncodeEntry(name), 0), 148u);
    sfx::Damage careless;
    careless.unsignedChecksum = true;
    EXPECT_EQ(Get32(sfx::EncodeEntry(name, careless), 0), 404u);

    sfx::Entry size = tagOnly;
    size.unpackedSize = 0x80808080;
    EXPECT_EQ(Get32(sfx::EncodeEntry(size), 0), (uint32_t)-306);
}

TEST(SfxWriter, EntryLayout)
{
    sfx::Entry e;
    e.dirName = "sub\\";
    e.fileName = "file.txt";
    e.data = {1, 2, 3};
    e.unpackedSize = 99;
    e.dosDate = 0x5A21;
    e.dosTime = 0x6000;
    e.method = sfx::Bzip2;
    const sfx::Bytes b = sfx::EncodeEntry(e);
    ASSERT_EQ(b.size(), 4u + 24 + 4 + 8 + 3);
    EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 8), std::string("BZ2\0", 4));
    EXPECT_EQ(Get32(b, 8), 3u);    // PackedSize
    EXPECT_EQ(Get32(b, 12), 99u);  // UnpackedSize
    EXPECT_EQ(Get16(b, 16), 0x5A21);
    EXPECT_EQ(Get16(b, 18), 0x6000);
    EXPECT_EQ(Get16(b, 20), 0x20);
    EXPECT_EQ(Get16(b, 22), 1);
    EXPECT_EQ(Get16(b, 24), 4);
    EXPECT_EQ(Get16(b, 26), 8);
    EXPECT_EQ(std::string(b.begin() + 28, b.begin() + 40), "sub\\file.txt");
    EXPECT_EQ(b.back(), 3);
    EXPECT_EQ(Get32(b, 0), sfx::SignedByteSum(b.data() + 4, 36));
}

TEST(SfxWriter, WorkedExampleFileSize)
{
    sfx::Entry e;
    e.fileName = "twelve-bytes";
    e.data.assign(9754, 'x');
    const sfx::Bytes file = sfx::BuildArchive(Stub(), {}, {sfx::EncodeEntry(e)});
    EXPECT_EQ(file.size(), 63042u);
    EXPECT_EQ(std::string(file.begin() + 53276, file.begin() + 53288), "twelve-bytes");
}

TEST(SfxWriter, DamageKeepsBytesButLiesInTheHeader)
{
    sfx::Entry e;
    e.fileName = "n";
    e.data = {9, 9};
    sfx::Damage d;
    d.packedSize = 1000;
    d.fileNameLength = 260;
    d.tag = std::array<uint8_t, 4>{'B', 'Z', '2', 'X'};
    d.checksumDelta = 5;
    const sfx::Bytes b = sfx::EncodeEntry(e, d);
    EXPECT_EQ(b.size(), 4u + 24 + 1 + 2);
    EXPECT_EQ(b[7], 'X');
    EXPECT_EQ(Get32(b, 8), 1000u);
    EXPECT_EQ(Get16(b, 26), 260);
    EXPECT_EQ(Get32(b, 0), sfx::SignedByteSum(b.data() + 4, 25) + 5);
}

TEST(SfxWriter, ConfigBlock)
{
    sfx::Bytes file = Stub();
    std::string error;
    ASSERT_TRUE(sfx::WriteConfigBlock(file, {"T", "M", "D", "L"}, &error));
    for (uint32_t field = 0; field < 4; field++) {
        const size_t at = sfx::ConfigBlockOffset + field * 256;
        EXPECT_EQ(file[at], "TMDL"[field]);
        for (size_t i = at + 1; i < at + 256; i++)
            ASSERT_EQ(file[i], 0) << i;
    }
    EXPECT_EQ(file[767], 0);
    EXPECT_EQ(file[1792], 0);

    // Rewriting zeroes what a longer earlier value left behind.
    ASSERT_TRUE(sfx::WriteConfigField(file, sfx::Title, std::string(256, 'x'), &error));
    ASSERT_TRUE(sfx::WriteConfigField(file, sfx::Title, "y", &error));
    EXPECT_EQ(file[sfx::ConfigBlockOffset + 1], 0);
    EXPECT_EQ(file[sfx::ConfigBlockOffset + 255], 0);

    EXPECT_FALSE(sfx::WriteConfigBlock(file, {std::string(256, 't'), "", "", ""}, &error));
    EXPECT_NE(error.find("title"), std::string::npos);
    EXPECT_TRUE(sfx::WriteConfigBlock(file, {std::string(255, 't'), "", "", ""}, &error));
    EXPECT_FALSE(sfx::WriteConfigField(file, sfx::Launch, std::string(257, 'l'), &error));
}

TEST(SfxWriter, CheckStub)
{
    std::string error;
    sfx::Bytes stub = Stub();
    EXPECT_TRUE(sfx::CheckStub(stub, &error));
    stub[1791] = 1;
    EXPECT_FALSE(sfx::CheckStub(stub, &error));
    EXPECT_NE(error.find("configuration"), std::string::npos);
    stub = Stub();
    stub.push_back(0);
    EXPECT_FALSE(sfx::CheckStub(stub, &error));
    stub = Stub();
    stub[0] = 'X';
    EXPECT_FALSE(sfx::CheckStub(stub, &error));
}
