// The real stub, started as a process and driven like a person would: it
// extracts, shows exactly one ending, removes its staging file and exits 0.
#include <gtest/gtest.h>

#include "driver.h"
#include "testutil.h"

namespace {

const wchar_t Completed[] = L"ファイルの解凍を終了しました。\n\n解凍先のフォルダをご確認ください。";
const wchar_t Failed[] = L"致命的なエラーです。解凍を中止します";
const wchar_t Caption[] = L"Self Extractor for KVX";

std::string StagingFile()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + "Qel00tmp.tmp";
}

sfx::Entry Stored(const std::string& dir, const std::string& name, const std::string& text)
{
    sfx::Entry e;
    e.dirName = dir;
    e.fileName = name;
    e.data.assign(text.begin(), text.end());
    e.unpackedSize = (uint32_t)text.size();
    return e;
}

class StubRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir("stubrun");
        stub = RealStub();
        ASSERT_EQ(stub.size(), sfx::StubSize);
    }
    void TearDown() override { RemoveTree(dir); }

    std::string Make(const char* name, const sfx::Config& config, const std::vector<sfx::Bytes>& entries)
    {
        const std::string path = dir + name;
        WriteFileBytes(path, sfx::BuildArchive(stub, config, entries));
        return path;
    }

    std::string dir;
    sfx::Bytes stub;
};

}  // namespace

TEST_F(StubRun, ExtractsAndReportsCompletion)
{
    const std::string dest = dir + "out";
    sfx::Entry big = Stored("sub\\", "big.bin", std::string(600000, 'a'));
    big.method = sfx::Bzip2;
    big.data = sfx::Bzip2Compress(sfx::Bytes(600000, 'a'));
    const std::string exe = Make("ok.exe", {"", "", dest, ""},
                                 {sfx::EncodeEntry(Stored("", "a.txt", "alpha")), sfx::EncodeEntry(big)});
    WriteFileBytes(StagingFile(), {1, 2, 3});  // a leftover of an earlier run

    const RunResult run = RunToEnd(exe);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, Completed);
    EXPECT_EQ(run.boxes[0].caption, Caption);
    EXPECT_EQ(run.boxes[0].icon, (UINT)MB_ICONINFORMATION);
    EXPECT_EQ(ReadFileBytes(dest + "\\a.txt"), sfx::Bytes({'a', 'l', 'p', 'h', 'a'}));
    EXPECT_EQ(ReadFileBytes(dest + "\\sub\\big.bin").size(), 600000u);
    EXPECT_FALSE(FileExists(StagingFile()));
}

TEST_F(StubRun, EmptyDestinationMeansBesideTheArchive)
{
    const std::string exe = Make("here.exe", {}, {sfx::EncodeEntry(Stored("", "beside.txt", "b"))});
    const RunResult run = RunToEnd(exe);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, Completed);
    EXPECT_TRUE(FileExists(dir + "beside.txt"));
}

TEST_F(StubRun, FailureShowsTheOneFailureMessage)
{
    sfx::Damage cut;
    cut.packedSize = 700000;  // more data than the file holds
    sfx::Entry bad = Stored("", "cut.txt", "short");
    sfx::Entry evil = Stored("..\\", "evil.txt", "x");
    const std::string dest = dir + "out";
    for (const auto& payload : {sfx::EncodeEntry(bad, cut), sfx::EncodeEntry(evil)}) {
        const RunResult run = RunToEnd(Make("bad.exe", {"", "", dest, ""}, {payload}));
        EXPECT_EQ(run.exitCode, 0);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, Failed);
        EXPECT_EQ(run.boxes[0].caption, Caption);
        EXPECT_EQ(run.boxes[0].icon, (UINT)MB_ICONEXCLAMATION);
        EXPECT_FALSE(FileExists(StagingFile()));
    }
    EXPECT_FALSE(FileExists(dir + "evil.txt"));
}
