// Post-link step for the stub: rewrites the linked PE image so that its header
// area is 4,096 bytes long and zero from offset 640 on (the configuration block
// lives at 768), its sections' data starts at 4,096, and the file is exactly
// 53,248 bytes, the last section padded with zeros up to there.
//
// usage: pefit INPUT.exe OUTPUT.exe
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const uint32_t HeaderLimit = 640;     // header structures must end before this
const uint32_t HeaderAreaSize = 4096; // where the first section's data begins
const uint32_t StubSize = 53248;      // where the payload begins
const uint32_t SectionAlignment = 4096;

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get16(b, at) | (uint32_t)Get16(b, at + 2) << 16; }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "pefit: %s\n", message.c_str());
    return 1;
}

struct Section {
    size_t header;  // file offset of its section header
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return Fail("usage: pefit INPUT.exe OUTPUT.exe");
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        return Fail(std::string(argv[1]) + " is not an executable");

    // PE32 for i386 or PE32+ for x86_64: the fields rewritten here (image
    // size, header size, checksum) lie at the same offsets in both.
    const uint32_t pe = Get32(image, 0x3C);
    if (pe + 26 > image.size() || Get32(image, pe) != 0x00004550)
        return Fail("not a PE image");
    const size_t coff = pe + 4, optional = coff + 20;
    const uint16_t machine = Get16(image, coff), magic = Get16(image, optional);
    if (!(machine == 0x014C && magic == 0x10B) && !(machine == 0x8664 && magic == 0x20B))
        return Fail("neither a PE32 image for i386 nor a PE32+ image for x86_64");
    const uint16_t sectionCount = Get16(image, coff + 2);
    const uint16_t optionalSize = Get16(image, coff + 16);
    if (Get32(image, coff + 8) != 0)
        return Fail("the image still carries a symbol table; link with -s");
    const size_t sectionTable = optional + optionalSize;
    const size_t headersEnd = sectionTable + 40 * sectionCount;
    if (headersEnd > HeaderLimit)
        return Fail("headers end at " + std::to_string(headersEnd) + ", past " + std::to_string(HeaderLimit) +
                    ": " + std::to_string(sectionCount) + " sections are too many");

    std::vector<Section> sections;
    for (size_t i = 0; i < sectionCount; i++) {
        const size_t h = sectionTable + 40 * i;
        sections.push_back({h, Get32(image, h + 8), Get32(image, h + 12), Get32(image, h + 16), Get32(image, h + 20)});
    }

    // The sections' data is contiguous behind the headers; move it as one block.
    uint32_t first = UINT32_MAX, end = 0, contents = 0;
    const Section* last = nullptr;
    for (const Section& s : sections) {
        if (s.rawSize == 0)
            continue;
        contents += std::min(s.virtualSize, s.rawSize);
        first = std::min(first, s.rawOffset);
        if (s.rawOffset + s.rawSize > end) {
            end = s.rawOffset + s.rawSize;
            last = &s;
        }
    }
    if (last == nullptr || end > image.size())
        return Fail("section data missing or cut short");
    for (const Section& s : sections)
        if (s.virtualAddress > last->virtualAddress)
            return Fail("the last section in the file is not the last in memory");

    const uint32_t used = end - first;
    const uint32_t budget = StubSize - HeaderAreaSize;
    if (used > budget)
        return Fail("sections need " + std::to_string(used) + " bytes, " + std::to_string(used - budget) +
                    " more than the " + std::to_string(budget) + " available");
    if (image.size() > end)
        return Fail("unexpected data after the last section");

    std::vector<uint8_t> out(StubSize, 0);
    std::memcpy(out.data(), image.data(), headersEnd);
    std::memcpy(out.data() + HeaderAreaSize, image.data() + first, used);
    const int32_t shift = (int32_t)HeaderAreaSize - (int32_t)first;
    for (const Section& s : sections) {
        if (s.rawSize == 0)
            continue;
        Put32(out, s.header + 20, s.rawOffset + shift);
        if (&s == last) {
            // The last section runs to the end of the stub, in the file and in memory.
            const uint32_t rawSize = StubSize - (s.rawOffset + shift);
            Put32(out, s.header + 16, rawSize);
            const uint32_t virtualSize = std::max(s.virtualSize, rawSize);
            Put32(out, s.header + 8, virtualSize);
            const uint32_t imageSize = (s.virtualAddress + virtualSize + SectionAlignment - 1) / SectionAlignment * SectionAlignment;
            Put32(out, optional + 56, imageSize);
        }
    }
    Put32(out, optional + 60, HeaderAreaSize);  // SizeOfHeaders
    Put32(out, optional + 64, 0);               // CheckSum: the builder changes the file anyway

    std::ofstream o(argv[2], std::ios::binary | std::ios::trunc);
    o.write((const char*)out.data(), out.size());
    if (!o.flush())
        return Fail(std::string("cannot write ") + argv[2]);
    std::printf("kvxsfx.exe: sections take %u of %u bytes (%u of contents), %u free\n", used, budget, contents,
                budget - used);
    return 0;
}
