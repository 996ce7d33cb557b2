// The built stubs' file layout, read from their PE headers: the i686 product,
// and the x86_64 build of the same sources (PE32+) where it was built.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sfxwriter.h"

namespace {

uint16_t Get16(const sfx::Bytes& b, size_t at) { return (uint16_t)(b[at] | b[at + 1] << 8); }
uint32_t Get32(const sfx::Bytes& b, size_t at) { return Get16(b, at) | (uint32_t)Get16(b, at + 2) << 16; }

struct Section {
    std::string name;
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset;
};

struct Architecture {
    const char* path;
    uint16_t machine, magic;
    size_t directories;  // where the data directories begin in the optional header
};

class StubLayout : public ::testing::TestWithParam<Architecture> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sfx::ReadWholeFile(GetParam().path, &stub)) << GetParam().path;
        ASSERT_EQ(stub.size(), 53248u);
        ASSERT_EQ(Get16(stub, 0), 0x5A4D);
        pe = Get32(stub, 0x3C);
        ASSERT_LT(pe, 512u);
        optional = pe + 24;
        directory = optional + GetParam().directories;
        const uint16_t count = Get16(stub, pe + 6);
        sectionTable = optional + Get16(stub, pe + 20);
        for (uint16_t i = 0; i < count; i++) {
            const size_t h = sectionTable + 40 * i;
            sections.push_back({std::string((const char*)&stub[h], strnlen((const char*)&stub[h], 8)),
                                Get32(stub, h + 8), Get32(stub, h + 12), Get32(stub, h + 16), Get32(stub, h + 20)});
        }
    }

    // File offset of a virtual address.
    size_t Offset(uint32_t rva) const
    {
        for (const Section& s : sections)
            if (rva >= s.virtualAddress && rva < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
                return s.rawOffset + (rva - s.virtualAddress);
        ADD_FAILURE() << "rva " << rva << " is in no section";
        return 0;
    }

    sfx::Bytes stub;
    size_t pe = 0, optional = 0, directory = 0, sectionTable = 0;
    std::vector<Section> sections;
};

const Architecture Stubs[] = {
    {KVX_STUB_PATH, 0x014C, 0x10B, 96},  // i386, PE32
#ifdef KVX_STUB_X86_64_PATH
    {KVX_STUB_X86_64_PATH, 0x8664, 0x20B, 112},  // x86_64, PE32+
#endif
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Built, StubLayout, ::testing::ValuesIn(Stubs),
                         [](const auto& info) { return info.param.machine == 0x8664 ? "x86_64" : "i686"; });

TEST_P(StubLayout, IsAGuiProgramForItsArchitecture)
{
    EXPECT_EQ(Get32(stub, pe), 0x00004550u);         // "PE\0\0"
    EXPECT_EQ(Get16(stub, pe + 4), GetParam().machine);
    EXPECT_EQ(Get16(stub, optional), GetParam().magic);
    EXPECT_EQ(Get16(stub, optional + 68), 2);        // the GUI subsystem
    EXPECT_TRUE(Get16(stub, pe + 22) & 0x0002);      // executable image
    EXPECT_TRUE(Get16(stub, optional + 70) & 0x0100); // NX compatible
    EXPECT_TRUE(Get16(stub, optional + 70) & 0x0040); // relocatable at any base (ASLR)
    EXPECT_NE(Get32(stub, directory + 5 * 8), 0u);  // with its relocations
    EXPECT_FALSE(Get16(stub, pe + 22) & 0x0001);      // not stripped of them
}

TEST_P(StubLayout, HeaderAreaAndSections)
{
    ASSERT_LE(sections.size(), 6u);
    EXPECT_LT(sectionTable + 40 * sections.size(), 640u);
    for (size_t i = 640; i < 4096; i++)
        ASSERT_EQ(stub[i], 0) << "header area byte " << i;
    EXPECT_EQ(Get32(stub, optional + 60), 4096u);  // SizeOfHeaders

    uint32_t first = UINT32_MAX, end = 0, nextVirtual = 0;
    for (const Section& s : sections) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.virtualAddress % 4096, 0u);
        EXPECT_GE(s.virtualAddress, nextVirtual);  // in order, not overlapping
        nextVirtual = s.virtualAddress + s.virtualSize;
        if (s.rawSize == 0)
            continue;
        EXPECT_EQ(s.rawOffset % 512, 0u);
        first = std::min(first, s.rawOffset);
        end = std::max(end, s.rawOffset + s.rawSize);
    }
    EXPECT_EQ(first, 4096u);
    EXPECT_EQ(end, 53248u);
    const uint32_t imageSize = Get32(stub, optional + 56);
    EXPECT_GE(imageSize, nextVirtual);
    EXPECT_EQ(imageSize % 4096, 0u);

    std::string error;
    EXPECT_TRUE(sfx::CheckStub(stub, &error)) << error;
}

TEST_P(StubLayout, ImportsOnlySystemDlls)
{
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "msvcrt.dll"};
    const uint32_t importRva = Get32(stub, directory + 8);
    ASSERT_NE(importRva, 0u);
    std::set<std::string> seen;
    for (size_t d = Offset(importRva); Get32(stub, d + 12) != 0; d += 20) {
        std::string name((const char*)&stub[Offset(Get32(stub, d + 12))]);
        for (char& c : name)
            c = (char)tolower((unsigned char)c);
        seen.insert(name);
        EXPECT_TRUE(allowed.count(name)) << name;
    }
    EXPECT_TRUE(seen.count("kernel32.dll"));
}
