// The real stub, started as a process: it loads with our own entry point and
// its post-linked layout, walks any payload, and always exits with code 0.
#include <gtest/gtest.h>

#include "testutil.h"

TEST(StubRun, ExitsWithZeroWhateverThePayload)
{
    const std::string dir = MakeTempDir("stubrun");
    const sfx::Bytes stub = RealStub();
    ASSERT_EQ(stub.size(), sfx::StubSize);

    sfx::Entry entry;
    entry.fileName = "a.txt";
    entry.data = sfx::Bytes(600000, 'a');
    entry.unpackedSize = 600000;
    sfx::Damage cut;
    cut.packedSize = 700000;  // longer than the data that follows

    const std::vector<std::pair<const char*, std::vector<sfx::Bytes>>> payloads = {
        {"empty.exe", {}},
        {"two.exe", {sfx::EncodeEntry(entry), sfx::EncodeEntry(entry)}},
        {"cut.exe", {sfx::EncodeEntry(entry, cut)}},
    };
    for (const auto& [name, entries] : payloads) {
        SCOPED_TRACE(name);
        const std::string path = dir + name;
        WriteFileBytes(path, sfx::BuildArchive(stub, {}, entries));
        EXPECT_EQ(RunProgram(path, 20000), 0);
    }
    RemoveTree(dir);
}
