// The process-wide buffers: sizes, zero fill, release, and the staging file
// that goes with them.
#include <gtest/gtest.h>

#include "app/app.h"
#include "testutil.h"

namespace {

char** const AllBuffers[] = {&ModulePath, &DestinationDir, &EntryDirName, &EntryFileName, &TargetPath,
                             &DataBuffer, &StagingPath,    &DialogTitle,  &DialogMessage, &LaunchFileName};
const DWORD Sizes[] = {261, 261, 261, 261, 261, 512001, 261, 260, 260, 260};

bool AllZero(const char* p, DWORD n)
{
    for (DWORD i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

int allocations;
int failAt;
decltype(&GlobalAlloc) realGlobalAlloc;
HGLOBAL WINAPI CountingGlobalAlloc(UINT flags, SIZE_T bytes)
{
    if (++allocations == failAt)
        return NULL;
    return realGlobalAlloc(flags, bytes);
}

}  // namespace

TEST(Buffers, AllocatesTenZeroFilledBuffersOfTheirSizes)
{
    ASSERT_EQ(AllocateBuffers(), 1);
    for (int i = 0; i < 10; i++) {
        SCOPED_TRACE(i);
        ASSERT_NE(*AllBuffers[i], nullptr);
        EXPECT_GE(GlobalSize(*AllBuffers[i]), Sizes[i]);
        EXPECT_TRUE(AllZero(*AllBuffers[i], Sizes[i]));
    }
    FreeBuffers();
    for (char** buffer : AllBuffers)
        EXPECT_EQ(*buffer, nullptr);
}

TEST(Buffers, FailedAllocationStopsThereAndFreeReleasesTheRest)
{
    ImportPatch patch("kernel32.dll", "GlobalAlloc", (void*)CountingGlobalAlloc);
    realGlobalAlloc = (decltype(&GlobalAlloc))patch.original();
    allocations = 0;
    failAt = 6;  // the 512,001-byte DataBuffer
    EXPECT_EQ(AllocateBuffers(), 0);
    EXPECT_EQ(allocations, 6);
    for (int i = 0; i < 5; i++)
        EXPECT_NE(*AllBuffers[i], nullptr) << i;
    for (int i = 5; i < 10; i++)
        EXPECT_EQ(*AllBuffers[i], nullptr) << i;
    FreeBuffers();
    for (char** buffer : AllBuffers)
        EXPECT_EQ(*buffer, nullptr);
}

TEST(Buffers, FreeDeletesTheStagingFileOnlyWhenItsPathWasBuilt)
{
    const std::string dir = MakeTempDir("buffers");
    const std::string staging = dir + "Qel00tmp.tmp";

    WriteFileBytes(staging, sfx::Bytes(5, 1));
    ASSERT_EQ(AllocateBuffers(), 1);
    FreeBuffers();  // no path built: nothing deleted
    EXPECT_TRUE(FileExists(staging));

    ASSERT_EQ(AllocateBuffers(), 1);
    lstrcpyA(StagingPath, staging.c_str());
    FreeBuffers();
    EXPECT_FALSE(FileExists(staging));
    RemoveTree(dir);
}
