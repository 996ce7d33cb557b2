#include "sfxwriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <bzlib.h>

namespace sfx {
namespace {

void Append(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

}  // namespace

const char* const StoredTypes[] = {
    ".ARC", ".ARJ", ".BZ2", ".KVX", ".CAB", ".GZ",  ".MVX", ".LZH", ".LZS",
    ".PAK", ".RAR", ".TAZ", ".TBZ", ".TGZ", ".Z",   ".ZIP", ".ZOO", "",
};

uint32_t SignedByteSum(const uint8_t* bytes, size_t count, uint32_t start)
{
    uint32_t sum = start;
    for (size_t i = 0; i < count; i++)
        sum += (uint32_t)(int32_t)(int8_t)bytes[i];
    return sum;
}

static Bytes EncodeHeaderSized(const Entry& entry, uint32_t packedSize, const Damage& damage)
{
    static const std::array<uint8_t, 4> GoodTag = {'B', 'Z', '2', 0};
    const std::array<uint8_t, 4>& tag = damage.tag ? *damage.tag : GoodTag;
    Bytes header(tag.begin(), tag.end());
    Put32(header, damage.packedSize ? *damage.packedSize : packedSize);
    Put32(header, entry.unpackedSize);
    Put16(header, entry.dosDate);
    Put16(header, entry.dosTime);
    Put16(header, entry.attributes);
    Put16(header, entry.method);
    Put16(header, damage.dirNameLength ? *damage.dirNameLength : (uint16_t)entry.dirName.size());
    Put16(header, damage.fileNameLength ? *damage.fileNameLength : (uint16_t)entry.fileName.size());
    return header;
}

Bytes EncodeHeader(const Entry& entry, const Damage& damage)
{
    return EncodeHeaderSized(entry, (uint32_t)entry.data.size(), damage);
}

Bytes EncodeEntryHead(const Entry& entry, uint32_t packedSize, const Damage& damage)
{
    Bytes covered = EncodeHeaderSized(entry, packedSize, damage);
    Append(covered, entry.dirName);
    Append(covered, entry.fileName);

    uint32_t checksum = 0;
    if (damage.unsignedChecksum) {
        for (uint8_t b : covered)
            checksum += b;
    } else {
        checksum = SignedByteSum(covered.data(), covered.size());
    }
    checksum += (uint32_t)damage.checksumDelta;

    Bytes out;
    out.reserve(4 + covered.size() + entry.data.size());
    Put32(out, checksum);
    out.insert(out.end(), covered.begin(), covered.end());
    return out;
}

Bytes EncodeEntry(const Entry& entry, const Damage& damage)
{
    Bytes out = EncodeEntryHead(entry, (uint32_t)entry.data.size(), damage);
    out.insert(out.end(), entry.data.begin(), entry.data.end());
    return out;
}

bool CheckStub(const Bytes& stub, std::string* error)
{
    if (stub.size() != StubSize) {
        *error = "the stub is " + std::to_string(stub.size()) + " bytes long, not " + std::to_string(StubSize);
        return false;
    }
    if (stub[0] != 'M' || stub[1] != 'Z') {
        *error = "the stub is not an executable";
        return false;
    }
    for (uint32_t i = ConfigBlockOffset; i < ConfigBlockOffset + ConfigFieldCount * ConfigFieldSize; i++) {
        if (stub[i] != 0) {
            *error = "the stub's configuration area (bytes 768 to 1791) is not free";
            return false;
        }
    }
    return true;
}

bool WriteConfigField(Bytes& file, ConfigField field, const std::string& value, std::string* error)
{
    if (value.size() > ConfigFieldSize) {
        *error = "a configuration field holds at most 256 bytes";
        return false;
    }
    if (file.size() < ConfigBlockOffset + ConfigFieldCount * ConfigFieldSize) {
        *error = "the file is too short for a configuration block";
        return false;
    }
    uint8_t* at = file.data() + ConfigBlockOffset + field * ConfigFieldSize;
    std::fill(at, at + ConfigFieldSize, 0);
    std::copy(value.begin(), value.end(), at);
    return true;
}

bool WriteConfigBlock(Bytes& file, const Config& config, std::string* error)
{
    const std::string* values[] = {&config.title, &config.message, &config.destination, &config.launch};
    static const char* const names[] = {"title", "message", "destination", "launch file name"};
    for (uint32_t i = 0; i < ConfigFieldCount; i++) {
        if (values[i]->size() >= ConfigFieldSize) {
            *error = std::string("the ") + names[i] + " is " + std::to_string(values[i]->size()) +
                     " bytes long; at most 255 bytes fit";
            return false;
        }
    }
    for (uint32_t i = 0; i < ConfigFieldCount; i++)
        if (!WriteConfigField(file, (ConfigField)i, *values[i], error))
            return false;
    return true;
}

Bytes BuildArchive(const Bytes& stub, const Config& config, const std::vector<Bytes>& encodedEntries)
{
    Bytes file = stub;
    std::string error;
    if (!WriteConfigBlock(file, config, &error))
        return {};
    for (const Bytes& entry : encodedEntries)
        file.insert(file.end(), entry.begin(), entry.end());
    return file;
}

Bytes Bzip2Compress(const Bytes& data, int blockSize100k)
{
    // bzip2's worst case: 1% larger plus 600 bytes.
    unsigned int size = (unsigned int)(data.size() + data.size() / 100 + 601);
    Bytes out(size);
    char* source = data.empty() ? (char*)"" : (char*)data.data();
    if (BZ2_bzBuffToBuffCompress((char*)out.data(), &size, source, (unsigned int)data.size(), blockSize100k, 0, 0) != BZ_OK)
        return {};
    out.resize(size);
    return out;
}

bool FindSignatureFields(const uint8_t* head, size_t n, SignatureFields* fields)
{
    // MZ header -> "PE\0\0", the 20-byte file header, then the optional header:
    // its checksum 64 bytes in, its data directories 96 (PE32) or 112 (PE32+).
    const size_t SecurityEntry = 4, ChecksumAt = 64;
    if (n < 0x40 || head[0] != 'M' || head[1] != 'Z')
        return false;
    const uint64_t pe = Get32(head + 0x3C);
    if (pe + 24 > n || std::memcmp(head + pe, "PE\0\0", 4) != 0)
        return false;
    const uint64_t optional = pe + 24;
    const uint16_t optionalSize = Get16(head + pe + 20);
    if (optional + 2 > n)
        return false;
    const uint16_t magic = Get16(head + optional);
    const uint64_t countAt = magic == 0x10b ? 92 : magic == 0x20b ? 108 : 0;
    const uint64_t entry = countAt + 4 + SecurityEntry * 8;
    if (countAt == 0 || entry + 8 > optionalSize || optional + entry + 8 > n ||
        Get32(head + optional + countAt) <= SecurityEntry)
        return false;
    fields->checksumAt = (uint32_t)(optional + ChecksumAt);
    fields->certificateEntryAt = (uint32_t)(optional + entry);
    return true;
}

bool FindCertificateDirectory(const uint8_t* head, size_t n, CertificateDirectory* directory)
{
    SignatureFields fields;
    if (!FindSignatureFields(head, n, &fields))
        return false;
    directory->offset = Get32(head + fields.certificateEntryAt);
    directory->size = Get32(head + fields.certificateEntryAt + 4);
    return directory->offset != 0 || directory->size != 0;
}

namespace {

// The resources of a PE image: the directory tree at data directory entry 2,
// walked by numeric ids; offsets in it count from the tree's start, data
// entries give RVAs, mapped to file offsets through the section table.
class Resources {
public:
    explicit Resources(const Bytes& image) : b_(image)
    {
        SignatureFields fields;  // the same headers a signer reads: they locate the directories
        if (!FindSignatureFields(b_.data(), b_.size(), &fields))
            return;
        const uint32_t pe = Get32(&b_[0x3C]), optional = pe + 24;
        const uint32_t entryAt = fields.certificateEntryAt - 2 * 8;  // entry 2 of the data directories
        sections_ = optional + Get16(&b_[pe + 20]);
        sectionCount_ = Get16(&b_[pe + 6]);
        root_ = FileOffset(Get32(&b_[entryAt]));
    }

    // The file offset and size of the first language's data of `type`/`id`.
    bool Find(uint32_t type, uint32_t id, uint32_t* offset, uint32_t* size) const
    {
        uint32_t at = 0;
        if (root_ == 0 || !Child(0, type, &at) || !Child(at, id, &at) || !Child(at, ~0u, &at) || !Fits(root_ + at, 16))
            return false;
        *offset = FileOffset(Get32(&b_[root_ + at]));
        *size = Get32(&b_[root_ + at + 4]);
        return *offset != 0 && Fits(*offset, *size);
    }

private:
    bool Fits(uint64_t at, uint64_t n) const { return at + n <= b_.size(); }

    uint32_t FileOffset(uint32_t rva) const
    {
        for (uint32_t i = 0; i < sectionCount_ && Fits(sections_ + 40 * (i + 1), 0); i++) {
            const uint8_t* s = &b_[sections_ + 40 * i];
            const uint32_t address = Get32(s + 12), size = Get32(s + 16), raw = Get32(s + 20);
            if (rva >= address && rva - address < size)
                return raw + (rva - address);
        }
        return 0;
    }

    // The entry for `id` (any, for ~0u) in the directory at `dir`: where it points.
    bool Child(uint32_t dir, uint32_t id, uint32_t* to) const
    {
        if (!Fits((uint64_t)root_ + dir, 16))
            return false;
        const uint8_t* d = &b_[root_ + dir];
        const uint32_t count = Get16(d + 12) + Get16(d + 14);
        for (uint32_t i = 0; i < count && Fits((uint64_t)root_ + dir + 16 + 8 * (i + 1), 0); i++) {
            const uint8_t* e = d + 16 + 8 * i;
            if (id == ~0u || Get32(e) == id) {
                *to = Get32(e + 4) & 0x7FFFFFFF;
                return true;
            }
        }
        return false;
    }

    const Bytes& b_;
    uint32_t root_ = 0, sections_ = 0, sectionCount_ = 0;
};

}  // namespace

bool FindIconImage(const Bytes& stub, uint32_t* offset)
{
    const uint32_t GroupIcon = 14, Icon = 3, Group = 102;
    const Resources resources(stub);
    uint32_t at = 0, size = 0;
    // The group: a 6-byte header and 14-byte entries; its 32 x 32, 16-colour image.
    if (!resources.Find(GroupIcon, Group, &at, &size) || size < 6)
        return false;
    for (uint32_t i = 0; i < Get16(&stub[at + 4]) && 6 + 14 * (i + 1) <= size; i++) {
        const uint8_t* e = &stub[at + 6 + 14 * i];
        uint32_t image = 0, imageSize = 0;
        if (e[0] == 32 && e[1] == 32 && Get16(e + 6) == 4 && Get32(e + 8) == IconImageSize &&
            resources.Find(Icon, Get16(e + 12), &image, &imageSize) && imageSize == IconImageSize) {
            *offset = image;
            return true;
        }
    }
    return false;
}

bool ReadWholeFile(FILE* f, Bytes* bytes)
{
    if (f == nullptr)
        return false;
    bytes->clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool ReadWholeFile(const std::string& path, Bytes* bytes)
{
    return ReadWholeFile(std::fopen(path.c_str(), "rb"), bytes);
}

bool WriteWholeFile(const std::string& path, const Bytes& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

}  // namespace sfx
