// Reading self-extracting files on the host: list, test and extract, with the
// stub's own reading rules and its safety rule for names.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>

#include <bzlib.h>
#include <nlohmann/json.hpp>

#include "pack.h"
#include "shape.h"

#ifdef _WIN32
#include <sys/utime.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#endif

namespace fs = std::filesystem;

namespace pack {
namespace {

using sfx::Get16;
using sfx::Get32;

// Offsets past 2 GiB: `long` is 32 bits on Windows and in the page's WebAssembly.
bool SeekTo(FILE* file, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, (long long)offset, SEEK_SET) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}
uint64_t Tell(FILE* file)
{
#ifdef _WIN32
    return (uint64_t)_ftelli64(file);
#else
    return (uint64_t)ftello(file);
#endif
}

struct Header {
    uint32_t checksum, packedSize, unpackedSize;
    uint16_t dosDate, dosTime, attributes, method;
    std::string dirName, fileName;  // code page 932
    uint64_t dataOffset;
};

class Archive {
public:
    explicit Archive(const std::string& path)
    {
        file_ = OpenFile(path, "rb");
        if (file_ != nullptr)
            ReadLayout();
    }
    ~Archive()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    bool open() const { return file_ != nullptr; }

    bool ReadConfig(std::string fields[4])
    {
        uint8_t block[1024];
        if (!SeekTo(file_, sfx::ConfigBlockOffset) || std::fread(block, 1, 1024, file_) != 1024)
            return false;
        for (int i = 0; i < 4; i++)
            fields[i].assign((const char*)block + 256 * i, strnlen((const char*)block + 256 * i, 256));
        return true;
    }

    // The signature's certificate table, or null for an unsigned file.
    const sfx::CertificateDirectory* signature() const { return signed_ ? &certificates_ : nullptr; }
    const std::string& signatureType() const { return signatureType_; }
    // What is wrong with where the signature lies, found on opening; `what` is
    // null when nothing is.
    const Problem& layoutProblem() const { return layoutProblem_; }
    // What is wrong with the table's own header; looked at once the payload checks out.
    const Problem& certificateProblem() const { return certificateProblem_; }
    // True when the walk stopped at the signature rather than at an entry.
    bool stoppedAtSignature() const { return stoppedAtSignature_; }

    bool ReadStub(sfx::Bytes* stub)
    {
        stub->resize(sfx::StubSize);
        return SeekTo(file_, 0) && std::fread(stub->data(), 1, stub->size(), file_) == stub->size();
    }

    // The next entry, as the stub reads it; false at the end of the payload or
    // at an entry that does not check out (`problem` then says which).
    bool Next(Header* h, Problem* problem)
    {
        *problem = {nullptr, {}};
        if (first_ && (first_ = false, !SeekTo(file_, sfx::StubSize)))
            return false;
        position_ = Tell(file_);
        if (signed_ && position_ + 8 > payloadEnd_)
            return ReadPadding(problem);
        uint8_t raw[28];
        const size_t got = std::fread(raw, 1, sizeof(raw), file_);
        if (got == 0)
            return false;  // the end of the payload
        if (got < sizeof(raw)) {
            problem->what = N_("a truncated entry header");
            return false;
        }
        if (std::memcmp(raw + 4, "BZ2\0", 4) != 0) {
            problem->what = N_("no entry tag");
            return false;
        }
        h->checksum = Get32(raw);
        h->packedSize = Get32(raw + 8);
        h->unpackedSize = Get32(raw + 12);
        h->dosDate = Get16(raw + 16);
        h->dosTime = Get16(raw + 18);
        h->attributes = Get16(raw + 20);
        h->method = Get16(raw + 22);
        const uint16_t dirLength = Get16(raw + 24), fileLength = Get16(raw + 26);
        if (dirLength > sfx::MaxNameLength || fileLength > sfx::MaxNameLength) {
            problem->what = N_("a name length over 259");
            return false;
        }
        h->dirName.assign(dirLength, '\0');
        h->fileName.assign(fileLength, '\0');
        if ((dirLength && std::fread(&h->dirName[0], 1, dirLength, file_) != dirLength) ||
            (fileLength && std::fread(&h->fileName[0], 1, fileLength, file_) != fileLength)) {
            problem->what = N_("truncated names");
            return false;
        }
        uint32_t sum = sfx::SignedByteSum(raw + 4, 24);
        sum = sfx::SignedByteSum((const uint8_t*)h->dirName.data(), dirLength, sum);
        sum = sfx::SignedByteSum((const uint8_t*)h->fileName.data(), fileLength, sum);
        if (sum != h->checksum) {
            problem->what = N_("a checksum mismatch");
            return false;
        }
        h->dataOffset = Tell(file_);
        if (signed_ && h->dataOffset + h->packedSize > payloadEnd_) {
            *problem = {N_("the certificate table at offset {offset} begins inside the entry at offset {entry}"),
                        {{"offset", payloadEnd_}, {"entry", position_}}};
            stoppedAtSignature_ = true;
            return false;
        }
        return true;
    }

    // Passes the entry's data to `sink` in pieces; false when the file ends first.
    bool ReadData(const Header& h, const std::function<bool(const char*, size_t)>& sink)
    {
        std::vector<char> buffer(64 << 10);
        for (uint32_t left = h.packedSize; left > 0;) {
            const size_t n = std::fread(buffer.data(), 1, std::min<size_t>(left, buffer.size()), file_);
            if (n == 0)
                return false;
            if (!sink(buffer.data(), n))
                return false;
            left -= (uint32_t)n;
        }
        return true;
    }

    // Passes over the entry's data without reading it; false when the file
    // ends first, as ReadData would find.
    bool SkipData(const Header& h)
    {
        return h.dataOffset + h.packedSize <= payloadEnd_ && SeekTo(file_, h.dataOffset + h.packedSize);
    }

    // Goes back to the start of the entry's data, to read it again.
    bool Rewind(const Header& h) { return SeekTo(file_, h.dataOffset); }

    uint64_t position() const { return position_; }

private:
    // A signer pads the file to a multiple of 8 with zero bytes and appends
    // the certificate table there; data directory entry 4 points at it.  The
    // payload then ends where the table begins, and the table must end the file.
    void ReadLayout()
    {
        uint8_t head[4096];
        const size_t n = std::fread(head, 1, sizeof(head), file_);
        signed_ = sfx::FindCertificateDirectory(head, n, &certificates_);
        std::fseek(file_, 0, SEEK_END);
        const uint64_t fileSize = Tell(file_);
        std::rewind(file_);
        payloadEnd_ = fileSize;
        if (!signed_)
            return;
        const uint64_t begin = certificates_.offset, end = begin + certificates_.size;
        const std::vector<Value> table = {{"offset", begin}, {"size", (uint64_t)certificates_.size},
                                          {"end", fileSize}, {"count", fileSize - end}};
        if (end > 0xFFFFFFFFu)
            layoutProblem_ = {N_("the certificate table at offset {offset} ({size} bytes) ends beyond 4 GiB"), table};
        else if (end > fileSize)
            layoutProblem_ = {N_("the certificate table at offset {offset} ({size} bytes) runs past the end of the file "
                                 "at offset {end}"), table};
        else if (begin < sfx::StubSize)
            layoutProblem_ = {N_("the certificate table at offset {offset} ({size} bytes) begins inside the stub"), table};
        else if (end == fileSize - 1)
            layoutProblem_ = {N_("1 byte follows the certificate table at offset {offset} ({size} bytes): the file was "
                                 "changed after it was signed"), table};
        else if (end < fileSize)
            layoutProblem_ = {N_("{count} bytes follow the certificate table at offset {offset} ({size} bytes): the file "
                                 "was changed after it was signed"), table};
        else
            ReadCertificateHeader();
        payloadEnd_ = begin;
    }

    // WIN_CERTIFICATE: length, revision, type; type 2 holds a PKCS#7 signature.
    void ReadCertificateHeader()
    {
        uint8_t raw[8];
        if (certificates_.size < 8 || !SeekTo(file_, certificates_.offset) ||
            std::fread(raw, 1, 8, file_) != 8 || Get32(raw) < 8 || Get32(raw) > certificates_.size) {
            certificateProblem_ = {N_("the certificate table at offset {offset} does not hold a whole certificate"),
                                   {{"offset", (uint64_t)certificates_.offset}}};
            return;
        }
        const uint16_t revision = Get16(raw + 4), type = Get16(raw + 6);
        signatureType_ = revision == 0x0200 && type == 2 ? "Authenticode" : Say(N_("certificate type {type}"), {{"type", type}});
    }

    // The bytes between the last entry and the certificate table: up to 7
    // zero bytes of padding and nothing else.
    bool ReadPadding(Problem* problem)
    {
        const size_t left = (size_t)(payloadEnd_ - position_);
        uint8_t padding[8] = {};
        if (std::fread(padding, 1, left, file_) != left || std::count(padding, padding + left, 0) != (long)left) {
            *problem = {N_("{count} bytes before the certificate table at offset {offset} are not zero padding"),
                        {{"count", (uint64_t)left}, {"offset", payloadEnd_}}};
            stoppedAtSignature_ = true;
        }
        return false;
    }

    FILE* file_ = nullptr;
    bool first_ = true;
    uint64_t position_ = 0;
    bool signed_ = false;
    sfx::CertificateDirectory certificates_;
    std::string signatureType_;
    Problem layoutProblem_{nullptr, {}}, certificateProblem_{nullptr, {}};
    uint64_t payloadEnd_ = 0;
    bool stoppedAtSignature_ = false;
};

// Whether a file's stub is byte for byte `carried`, apart from what packing
// and signing write into it: the configuration block, the icon image
// (--icon), and the PE checksum and certificate directory entry.
struct StubOrigin {
    bool carried = false;  // the carried stub
    bool ownIcon = false;  // with an icon of the distributor's
};

StubOrigin CompareStub(sfx::Bytes stub, sfx::Bytes carried)
{
    StubOrigin origin;
    uint32_t icon = 0, carriedIcon = 0;
    if (stub.size() != sfx::StubSize || carried.size() != sfx::StubSize)
        return origin;
    if (sfx::FindIconImage(stub, &icon) && sfx::FindIconImage(carried, &carriedIcon) && icon == carriedIcon) {
        origin.ownIcon = !std::equal(stub.begin() + icon, stub.begin() + icon + sfx::IconImageSize, carried.begin() + icon);
        std::fill_n(stub.begin() + icon, sfx::IconImageSize, 0);
        std::fill_n(carried.begin() + icon, sfx::IconImageSize, 0);
    }
    for (sfx::Bytes* b : {&stub, &carried}) {
        std::fill(b->begin() + sfx::ConfigBlockOffset,
                  b->begin() + sfx::ConfigBlockOffset + sfx::ConfigFieldCount * sfx::ConfigFieldSize, 0);
        sfx::SignatureFields fields;
        if (sfx::FindSignatureFields(b->data(), b->size(), &fields)) {
            std::fill_n(b->begin() + fields.checksumAt, 4, 0);
            std::fill_n(b->begin() + fields.certificateEntryAt, 8, 0);
        }
    }
    origin.carried = stub == carried;
    origin.ownIcon = origin.ownIcon && origin.carried;
    return origin;
}

bool IsCompressed(const Header& h, const std::string& fileNameUtf8)
{
    if (h.method == sfx::Stored)
        return false;
    if (h.method == sfx::ByExtension)
        return !IsStoredTypeName(fileNameUtf8);
    return true;
}

// Feeds compressed data through libbzip2, passing decoded bytes on.
class Decoder {
public:
    explicit Decoder(std::function<bool(const char*, size_t)> out) : out_(std::move(out))
    {
        ok_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
    }
    ~Decoder() { BZ2_bzDecompressEnd(&stream_); }
    bool Feed(const char* data, size_t n)
    {
        stream_.next_in = const_cast<char*>(data);
        stream_.avail_in = (unsigned)n;
        while (ok_ && !ended_ && stream_.avail_in > 0) {
            char buffer[65536];
            stream_.next_out = buffer;
            stream_.avail_out = sizeof(buffer);
            const int result = BZ2_bzDecompress(&stream_);
            ok_ = (result == BZ_OK || result == BZ_STREAM_END) && out_(buffer, sizeof(buffer) - stream_.avail_out);
            ended_ = result == BZ_STREAM_END;
        }
        // Bytes after the end of the stream are ignored, as the stub does;
        // the first of them are kept to tell a second stream.
        if (ended_) {
            const size_t keep = std::min<size_t>(stream_.avail_in, sizeof(after_) - std::min(trailing_, sizeof(after_)));
            std::memcpy(after_ + std::min(trailing_, sizeof(after_)), stream_.next_in, keep);
            trailing_ += stream_.avail_in;
            stream_.avail_in = 0;
        }
        return ok_;
    }
    bool Finished() const { return ok_ && ended_; }
    size_t trailing() const { return trailing_; }
    // A second stream: its header, then a block or the end-of-stream magic.
    bool SecondStream() const
    {
        static const uint8_t Block[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59}, End[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
        return trailing_ >= 10 && std::memcmp(after_, "BZh", 3) == 0 && after_[3] >= '1' && after_[3] <= '9' &&
               (std::memcmp(after_ + 4, Block, 6) == 0 || std::memcmp(after_ + 4, End, 6) == 0);
    }

private:
    bz_stream stream_ = {};
    std::function<bool(const char*, size_t)> out_;
    bool ok_ = false, ended_ = false;
    uint8_t after_[10] = {};
    size_t trailing_ = 0;
};

std::string Describe(const Header& h)
{
    char text[64];
    std::time_t when;
    if (!FromDosDateTime(h.dosDate, h.dosTime, &when))
        return Tr(N_("(invalid time)"));
    // The entry's own fields, as they read in local time.
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", (h.dosDate >> 9) + 1980, (h.dosDate >> 5) & 15,
                  h.dosDate & 31, h.dosTime >> 11, (h.dosTime >> 5) & 63, (h.dosTime & 31) * 2);
    return text;
}

const char* MethodName(const Header& h, const std::string& name)
{
    if (h.method == sfx::Stored)
        return N_("stored");
    if (h.method == sfx::ByExtension)
        return IsCompressed(h, name) ? "bzip2 (0)" : N_("stored (0)");
    return h.method == sfx::Bzip2 ? "bzip2" : N_("bzip2 (other)");
}

// Names of an entry in UTF-8 with '/' separators; false when they are not
// valid code page 932 text.
bool NamesOf(const Header& h, std::string* dir, std::string* file)
{
    if (!Cp932ToUtf8(h.dirName, dir) || !Cp932ToUtf8(h.fileName, file))
        return false;
    std::replace(dir->begin(), dir->end(), '\\', '/');
    return true;
}

// Code page 932 text in UTF-8 as far as it can be read: each byte that is not
// ASCII stands as U+FFFD where the whole is not valid code page 932.
std::string ReadableText(const std::string& cp932)
{
    std::string utf8;
    if (Cp932ToUtf8(cp932, &utf8))
        return utf8;
    utf8.clear();
    for (char c : cp932)
        utf8 += (unsigned char)c < 0x80 ? std::string(1, c) : std::string("\xEF\xBF\xBD");
    return utf8;
}

// Walks every entry; `visit` gets each one with its names.  Returns the exit
// code: input error when the file cannot be read or its payload is damaged.
// Names that are not code page 932 text stop the walk, unless `anyNames`
// lets them through, as far as they can be read.
int Walk(const std::string& path, Reporter& report,
         const std::function<bool(Archive&, const Header&, const std::string&, const std::string&)>& visit,
         size_t* count, bool anyNames = false)
{
    Archive archive(path);
    if (!archive.open()) {
        report.Error(N_("{file}: cannot be read"), {{"file", path}});
        return ExitInput;
    }
    if (archive.layoutProblem().what != nullptr) {
        report.Error(N_("{file}: {problem}"), {{"file", path}, {"problem", archive.layoutProblem()}});
        return ExitInput;
    }
    Header h;
    Problem problem{nullptr, {}};
    std::string dir, file;
    *count = 0;
    while (archive.Next(&h, &problem)) {
        if (!NamesOf(h, &dir, &file)) {
            if (!anyNames) {
                report.Error(N_("entry {number}: its names are not Shift-JIS text"), {{"number", *count + 1}});
                return ExitInput;
            }
            dir = ReadableText(h.dirName), file = ReadableText(h.fileName);
            std::replace(dir.begin(), dir.end(), '\\', '/');
        }
        if (!visit(archive, h, dir, file))
            return ExitInput;
        ++*count;
    }
    if (problem.what != nullptr && !archive.stoppedAtSignature()) {
        report.Error(N_("{file}: the payload ends at offset {offset} with {problem}; the stub would stop there"),
                     {{"file", path}, {"offset", archive.position()}, {"problem", problem}});
        return ExitInput;
    }
    if (problem.what == nullptr)
        problem = archive.certificateProblem();
    if (problem.what != nullptr) {
        report.Error(N_("{file}: {problem}"), {{"file", path}, {"problem", problem}});
        return ExitInput;
    }
    return ExitOk;
}

// The configuration texts and the stub of a file to list; false, reported,
// when it is not a self-extracting file.
bool ReadHead(Archive& archive, const std::string& path, std::string fields[4], sfx::Bytes* stub, Reporter& report)
{
    if (archive.open() && archive.ReadConfig(fields) && archive.ReadStub(stub))
        return true;
    report.Error(N_("{file}: not a self-extracting file"), {{"file", path}});
    return false;
}

// Passes an entry's data, as a listing does, showing each piece to `look`
// where one is given (else the data is skipped, not read); false, reported,
// when the data is cut short.
bool ReadThrough(Archive& a, const Header& h, const std::string& name, Reporter& report,
                 const std::function<void(const char*, size_t)>& look = nullptr)
{
    if (look ? a.ReadData(h, [&](const char* data, size_t n) {
            look(data, n);
            return true;
        })
             : a.SkipData(h))
        return true;
    report.Error(N_("{name}: data cut short"), {{"name", name}});
    return false;
}

// ---- The listing as one JSON document ------------------------------------

using Json = nlohmann::ordered_json;

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes)
        hex += std::string{digits[c >> 4], digits[c & 15]};
    return hex;
}

// Whether bytes are valid UTF-8: the JSON text is, always.
bool IsUtf8(const std::string& text)
{
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

// object[key] = the text; where its bytes are not what they should be (code
// page 932 in the file, UTF-8 on the command line), each unreadable byte
// stands as U+FFFD and object[key + "_hex"] keeps the bytes, so nothing is lost.
void PutText(Json& object, const std::string& key, const std::string& bytes, bool cp932)
{
    std::string utf8;
    const bool readable = cp932 ? Cp932ToUtf8(bytes, &utf8) : IsUtf8(bytes);
    object[key] = !cp932 ? bytes : readable ? utf8 : ReadableText(bytes);
    if (!readable)
        object[key + "_hex"] = Hex(bytes);
}

Json ConfigurationJson(const std::string fields[4])
{
    Json configuration = Json::object();
    const char* names[] = {"title", "message", "destination", "launch"};
    for (int i = 0; i < 4; i++)
        PutText(configuration, names[i], fields[i], true);
    return configuration;
}

Json EntryJson(const Header& h, const std::string& dir, const std::string& file)
{
    Json entry = Json::object();
    std::time_t when;
    PutText(entry, "directory", h.dirName, true);
    PutText(entry, "name", h.fileName, true);
    entry["path"] = dir + file;
    entry["method"] = MethodName(h, file);
    entry["unpacked"] = h.unpackedSize;
    entry["packed"] = h.packedSize;
    entry["time"] = FromDosDateTime(h.dosDate, h.dosTime, &when) ? Json(Describe(h)) : Json(nullptr);
    entry["attributes"] = h.attributes;
    entry["checksum"] = h.checksum;  // as stored, and verified: entries that fail it end the listing
    return entry;
}

}  // namespace

int ListJson(const std::string& path, const sfx::Bytes& carriedStub, std::ostream& out, Reporter& report, bool shapes)
{
    Archive archive(path);
    std::string fields[4];
    sfx::Bytes stub;
    if (!ReadHead(archive, path, fields, &stub, report))
        return ExitInput;
    Json listing = Json::object();
    PutText(listing, "file", path, false);
    listing["configuration"] = ConfigurationJson(fields);
    const StubOrigin origin = CompareStub(stub, carriedStub);
    listing["stub"] = {{"carried", origin.carried}, {"own_icon", origin.ownIcon}, {"packer", std::string(VersionLine)}};
    listing["signature"] = nullptr;
    if (const sfx::CertificateDirectory* signature = archive.signature())
        listing["signature"] = {{"type", archive.signatureType()}, {"offset", signature->offset}, {"size", signature->size}};
    // The document is written as it is read, an entry at a time, laid out as
    // one dump of the whole would lay it out: a file of 300,000 entries held
    // as one document took 484 MB.  Whatever a name or a problem holds, the
    // document is UTF-8.
    const auto dump = [](const Json& json) { return json.dump(2, ' ', false, Json::error_handler_t::replace); };
    const std::string head = dump(listing);
    out << head.substr(0, head.size() - 2) << ",\n  \"entries\": [";
    size_t count = 0;
    ProblemList problems;
    const int code = Walk(path, problems, [&](Archive& a, const Header& h, const std::string& dir, const std::string& file) {
        Json entry = EntryJson(h, dir, file);
        StreamShape shape;
        const bool compressed = shapes && IsCompressed(h, file);
        const auto look = [&](const char* data, size_t n) { shape.Feed(reinterpret_cast<const uint8_t*>(data), n); };
        if (!ReadThrough(a, h, dir + file, problems, compressed ? look : std::function<void(const char*, size_t)>()))
            return false;
        if (compressed) {
            shape.End();
            entry["bzip2"] = {{"blocks", shape.blocks()}, {"most_tables", shape.mostTables()},
                              {"longest_code", shape.longestCode()}};
        }
        std::string text = dump(entry);
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 5))
            text.insert(at + 1, 4, ' ');
        out << (count == 0 ? "\n    " : ",\n    ") << text;
        return true;
    }, &count, true);
    out << (count == 0 ? "]" : "\n  ]");
    for (const Problem& p : problems.problems)
        report.Report(p);
    Json tail = Json::object();
    tail["complete"] = code == ExitOk;
    tail["problem"] = nullptr;
    if (!problems.problems.empty()) {
        // The text in the user's language, and its English template: a key
        // that stays the same in every language.
        tail["problem"] = Render(problems.problems[0]);
        tail["problem_key"] = problems.problems[0].what;
    }
    const std::string rest = dump(tail);
    out << "," << rest.substr(1) << "\n";
    return code;
}

int List(const std::string& path, const sfx::Bytes& carriedStub, std::ostream& out, Reporter& report)
{
    Archive archive(path);
    std::string fields[4];
    sfx::Bytes stub;
    if (!ReadHead(archive, path, fields, &stub, report))
        return ExitInput;
    const char* lines[] = {N_("title: {text}"), N_("message: {text}"), N_("destination: {text}"), N_("launch: {text}")};
    for (int i = 0; i < 4; i++) {
        std::string text;
        out << Say(lines[i], {{"text", Cp932ToUtf8(fields[i], &text) ? text : Tr(N_("(not Shift-JIS text)"))}}) << "\n";
    }
    const StubOrigin origin = CompareStub(stub, carriedStub);
    out << Say(origin.ownIcon   ? N_("stub: the one {packer} carries, with the distributor's own icon")
               : origin.carried ? N_("stub: the one {packer} carries")
                                : N_("stub: not the one {packer} carries"),
               {{"packer", VersionLine}})
        << "\n";
    if (const sfx::CertificateDirectory* signature = archive.signature()) {
        out << Say(N_("signature: {type}, certificate table of {size} bytes at offset {offset}"),
                   {{"type", archive.signatureType().empty() ? Tr(N_("unreadable")) : archive.signatureType()},
                    {"size", (uint64_t)signature->size},
                    {"offset", (uint64_t)signature->offset}})
            << "\n";
    }
    size_t count = 0;
    const int code = Walk(path, report, [&](Archive& a, const Header& h, const std::string& dir, const std::string& file) {
        char sizes[64];
        std::snprintf(sizes, sizeof(sizes), "%12u %12u", h.unpackedSize, h.packedSize);
        out << sizes << "  " << Describe(h) << "  " << Tr(MethodName(h, file)) << "  " << dir << file << "\n";
        return ReadThrough(a, h, dir + file, report);
    }, &count);
    out << SayCount("{count} entry", "{count} entries", count, {{"count", (uint64_t)count}}) << "\n";
    return code;
}

int Test(const std::string& path, std::ostream& out, Reporter& report, const ReadProgress& progress)
{
    size_t count = 0;
    const int code = Walk(path, report, [&](Archive& a, const Header& h, const std::string& dir, const std::string& file) {
        if (h.packedSize == 0)
            return true;  // the stub creates nothing for it
        uint64_t decoded = 0, at = h.dataOffset;
        const bool compressed = IsCompressed(h, file);
        Decoder decoder([&](const char*, size_t n) { decoded += n; return true; });
        const bool read = a.ReadData(h, [&](const char* p, size_t n) {
            if (progress)
                progress(at += n);
            if (!compressed) {
                decoded += n;
                return true;
            }
            return decoder.Feed(p, n);
        });
        const std::string name = dir + file;
        if (!read)
            report.Error(N_("{name}: data cut short or damaged"), {{"name", name}});
        else if (compressed && !decoder.Finished())
            report.Error(N_("{name}: a bzip2 stream that does not end"), {{"name", name}});
        else if (compressed && decoder.SecondStream())
            report.Error(N_("{name}: a second bzip2 stream follows the first, {count} bytes that the stub would not extract"),
                         {{"name", name}, {"count", (uint64_t)decoder.trailing()}});
        else if (decoded != h.unpackedSize)
            report.Error(N_("{name}: size {size} instead of {expected}"),
                         {{"name", name}, {"size", decoded}, {"expected", (uint64_t)h.unpackedSize}});
        else {
            if (compressed && decoder.trailing() > 0)
                report.Warning(N_("{name}: {count} bytes after the end of its bzip2 stream, which the stub ignores"),
                               {{"name", name}, {"count", (uint64_t)decoder.trailing()}});
            return true;
        }
        return false;
    }, &count);
    if (code == ExitOk)
        out << SayCount("{file}: {count} entry OK", "{file}: {count} entries OK", count,
                        {{"file", path}, {"count", (uint64_t)count}})
            << "\n";
    return code;
}

namespace {

// A folder on disk, as the command line extracts into it.
class FolderTarget : public ExtractTarget {
public:
    explicit FolderTarget(const std::string& directory) : directory_(directory), root_(fs::u8path(directory))
    {
        std::error_code ec;
        fs::create_directories(root_, ec);
    }
    std::string Where() const override { return directory_; }

    // Every directory on the way must be a real directory below the root,
    // not a link that leads elsewhere.
    bool Open(const std::string& relative, const std::time_t* when, bool, Reporter& report) override
    {
        std::error_code ec;
        timed_ = when != nullptr;
        when_ = timed_ ? *when : 0;
        target_ = root_;
        const fs::path rel = fs::u8path(relative);
        for (auto it = rel.begin(); it != rel.end(); ++it) {
            if (std::next(it) == rel.end())
                break;
            target_ /= *it;
            if (fs::is_symlink(fs::symlink_status(target_, ec))) {
                report.Error(N_("{file}: a symbolic link on the way; nothing written"), {{"file", target_.u8string().c_str()}});
                return false;
            }
            fs::create_directory(target_, ec);
            if (!fs::is_directory(fs::symlink_status(target_, ec))) {
                report.Error(N_("{file}: cannot be created"), {{"file", target_.u8string().c_str()}});
                return false;
            }
        }
        target_ /= rel.filename();
        if (fs::is_symlink(fs::symlink_status(target_, ec)))
            fs::remove(target_, ec);
#ifdef _WIN32
        file_ = _wfopen(target_.c_str(), L"wb");
#else
        const int fd = open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
        file_ = fd >= 0 ? fdopen(fd, "wb") : nullptr;
#endif
        if (file_ == nullptr)
            report.Error(N_("{file}: cannot be written"), {{"file", relative}});
        return file_ != nullptr;
    }
    bool Write(const char* data, size_t n) override { return std::fwrite(data, 1, n, file_) == n; }
    bool Close(bool whole, bool sizeRight) override
    {
        const bool closed = std::fclose(file_) == 0;
        if (closed && whole && sizeRight && timed_) {
#ifdef _WIN32
            struct _utimbuf times = {(time_t)when_, (time_t)when_};
            _wutime(target_.c_str(), &times);
#else
            struct utimbuf times = {when_, when_};
            utime(target_.c_str(), &times);
#endif
        }
        return closed;
    }

private:
    std::string directory_;
    fs::path root_, target_;
    FILE* file_ = nullptr;
    bool timed_ = false;
    std::time_t when_ = 0;
};

}  // namespace

// The path the stub makes of an entry's names: '\\' and '/' both separate
// folders, and empty parts (a doubled separator) are no folder.
static std::string StubPath(const std::string& relative)
{
    std::string path;
    for (size_t start = 0; start <= relative.size();) {
        size_t end = relative.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = relative.size();
        if (end > start)
            (path.empty() ? path : path.append(1, '/')).append(relative, start, end - start);
        start = end + 1;
    }
    return path;
}

int ExtractInto(const std::string& path, ExtractTarget& target, std::ostream& out, Reporter& report,
                const ReadProgress& progress)
{
    size_t count = 0;
    return Walk(path, report, [&](Archive& a, const Header& h, const std::string& dir, const std::string& file) {
        const std::string relative = StubPath(dir + file);
        // A file name that ends in a separator names no file (the stub could
        // not create it): refused, not written under the folder's name.
        if (!IsContainedName(dir + file) || file.empty() || file.back() == '\\' || file.back() == '/' ||
            relative.empty()) {
            report.Error(N_("{name}: the name would leave {directory}; nothing written"),
                         {{"name", dir + file}, {"directory", target.Where()}});
            return false;
        }
        if (h.packedSize == 0)
            return true;  // the stub creates nothing for an entry without data
        std::time_t when;
        const bool compressed = IsCompressed(h, file);
        // Decodes the entry to `write`, no further than the size it claims
        // (a stream that decodes to more is damaged, and is not decoded on).
        uint64_t written = 0, at = h.dataOffset;
        const auto decode = [&](const std::function<bool(const char*, size_t)>& write) {
            written = 0, at = h.dataOffset;
            // The piece that crosses the claimed size is written up to it.
            auto bounded = [&](const char* p, size_t n) {
                const uint64_t room = h.unpackedSize - std::min<uint64_t>(written, h.unpackedSize);
                written += n;
                return (room == 0 || write(p, (size_t)std::min<uint64_t>(n, room))) && written <= h.unpackedSize;
            };
            Decoder decoder(bounded);
            const bool read = a.ReadData(h, [&](const char* p, size_t n) {
                if (progress)
                    progress(at += n);
                return compressed ? decoder.Feed(p, n) : bounded(p, n);
            });
            return read && (!compressed || decoder.Finished());
        };
        // Whether it came out whole and of the size it claims; else says why not.
        const auto judge = [&](bool whole) {
            if (whole && written == h.unpackedSize)
                return true;
            if (whole)
                report.Error(N_("{name}: size {size} instead of {expected}"),
                             {{"name", relative}, {"size", written}, {"expected", (uint64_t)h.unpackedSize}});
            else if (written > h.unpackedSize)
                report.Error(N_("{name}: decodes to more than the {expected} bytes it claims"),
                             {{"name", relative}, {"expected", (uint64_t)h.unpackedSize}});
            else
                report.Error(N_("{name}: damaged data"), {{"name", relative}});
            return false;
        };
        // A target that cannot take back what it was given has the data checked whole first.
        if (target.CheckFirst(h.unpackedSize, compressed) &&
            !(judge(decode([](const char*, size_t) { return true; })) && (a.Rewind(h) || judge(false))))
            return false;
        target.Dated(h.dosDate, h.dosTime);
        if (!target.Open(relative, FromDosDateTime(h.dosDate, h.dosTime, &when) ? &when : nullptr, compressed, report))
            return false;
        const bool whole = decode([&](const char* p, size_t n) { return target.Write(p, n); });
        // Whole but of another size, the file stays without its time, as the stub leaves it.
        if (!judge(target.Close(whole, written == h.unpackedSize) && whole))
            return false;
        out << relative << "\n";
        return true;
    }, &count);
}

int Extract(const std::string& path, const std::string& directory, std::ostream& out, Reporter& report)
{
    FolderTarget folder(directory);
    return ExtractInto(path, folder, out, report);
}

}  // namespace pack
