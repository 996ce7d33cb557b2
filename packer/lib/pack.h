// kvxsfx-pack: turns files and folders into a self-extracting file, and lists,
// tests and extracts such files.  Portable: Linux and Windows.  Every name and
// text is UTF-8 here and code page 932 inside the file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "messages.h"
#include "sfxwriter.h"

namespace pack {

// Exit codes.
enum { ExitOk = 0, ExitInput = 1, ExitUsage = 2, ExitCancelled = 3 };

struct Options {
    std::string output;
    std::string title, message, destination, launch;
    std::string stubPath;  // empty: the stub carried inside the packer
    std::string iconPath;  // empty: the stub's own icon
    std::vector<std::string> inputs;
    std::vector<std::string> excludes;  // glob patterns (IsExcluded)
    std::optional<std::time_t> latestTime;  // later file times are written as this (SOURCE_DATE_EPOCH)
    bool storeAll = false;
    bool smallest = false;  // blocks and Huffman tables chosen for size, not bzip2's own bytes
    bool quiet = false;
    bool verbose = false;   // list what --exclude left out
    int blockSize = 9;      // bzip2 -1 .. -9
    unsigned threads = 0;   // 0: one per core
};

// Text conversion between UTF-8 and code page 932 (Shift-JIS).  False when a
// character has no form in the other encoding.
bool Utf8ToCp932(const std::string& utf8, std::string* cp932);
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8);

// The code point of the UTF-8 sequence at utf8[i] into *point, and its length
// in bytes; 0 where no character begins: a stray or missing continuation
// byte, a longer form than the character needs (E0 80 AF is no '/'), a
// surrogate, or a point past U+10FFFF.  Decoding as strictly as iconv.
int DecodeUtf8(const std::string& utf8, size_t i, uint32_t* point);

// The stored-type rule of the stub: the extension of the final component (a
// space, slash or backslash after the last dot cancels it), in any case.
bool IsStoredTypeName(const std::string& name);

// MS-DOS date and time of a local time, in 2-second steps; times before 1980
// or after 2107 are clamped and reported through `clamped`.
void ToDosDateTime(std::time_t when, uint16_t* date, uint16_t* time, bool* clamped);
// The local time an MS-DOS date and time stand for; false when they are invalid.
bool FromDosDateTime(uint16_t date, uint16_t time, std::time_t* when);

// One file to carry, as collected from the inputs.
struct Item {
    std::string source;    // path to read
    std::string dirName;   // UTF-8, '/' separated, ending in '/', or empty
    std::string fileName;  // UTF-8
    uint64_t size = 0;
    std::time_t mtime = 0;
    bool readOnly = false;
};

// Walks the inputs: files by their own name, directories by the names below
// them, in a stable sorted order, leaving out what options.excludes names
// (listed in `excluded`, folders with a '/' at the end, without their
// contents).  Reports problems; false on an error.
bool CollectInputs(const Options& options, std::vector<Item>* items, Reporter& report,
                   std::vector<std::string>* excluded = nullptr);

// Whether an --exclude pattern names a path below an input folder (UTF-8, '/'
// separated, no '/' at either end; a file argument's path is its name).
// Where `steps` is given, the work done is added to it, counted as the
// matcher counts it (a character read, a place of its table filled, a range
// of a class compared): a pattern of n characters costs about n to compile,
// and each path of m about n x m at most.
bool IsExcluded(const std::string& pattern, const std::string& path, bool isDirectory, uint64_t* steps = nullptr);
// The same test with the pattern compiled once, for many paths; `steps`, if
// given, must outlive the matcher, which adds to it on every call.
std::function<bool(const std::string& path, bool isDirectory)> ExcludeMatcher(const std::string& pattern,
                                                                              uint64_t* steps = nullptr);
// The longest --exclude pattern taken, in bytes (CollectInputs refuses a
// longer one): each pattern is compared with every path.
constexpr size_t MaxExcludeBytes = 4096;

// The time SOURCE_DATE_EPOCH gives (whole seconds since 1970), into
// options.latestTime; false, reported, when it is set but not such a number.
bool ReadSourceDateEpoch(Options* options, Reporter& report);

// A reader's safety rule for names in a payload: true when a relative path
// (UTF-8, '\' or '/' separated) stays below the directory it is joined to.
bool IsContainedName(const std::string& relative);

// How far a packing run has come.
struct PackStatus {
    size_t filesDone = 0, files = 0;
    uint64_t bytesDone = 0, bytes = 0;  // source bytes
    std::string current;                // the file being written, UTF-8, '/' separated
    double seconds = 0;
    bool finished = false;
};

// Watches a packing run: Pack calls it on its own thread about ten times a
// second and once at the end, and stops (ExitCancelled, nothing written) once
// Cancelled() says so.
class PackObserver {
public:
    virtual ~PackObserver() = default;
    virtual void Progress(const PackStatus&) {}
    virtual bool Cancelled() { return false; }
};

// A number with thousands separators: 54,424.
std::string Grouped(uint64_t n);

// Opens a file by its UTF-8 name.
FILE* OpenFile(const std::string& utf8, const char* mode);
// Reads a whole file by its UTF-8 name.
bool ReadFileBytes(const std::string& utf8, sfx::Bytes* bytes);

// ---- The distributor's icon (--icon) ----

// An image as red, green, blue and alpha bytes, rows from the top.
struct Rgba {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

// The standard 16 colours of the stub's icon, as red, green, blue.
extern const uint8_t IconPalette[16][3];

// Reads a PNG file, or the image of an ICO file best for 32 x 32 (by its
// contents, whatever its name), of at most 4,096 x 4,096 pixels; what is
// wrong with it, naming it `name`, or a problem whose `what` is null.
Problem ReadImage(const sfx::Bytes& file, const std::string& name, Rgba* image);

// The stub's icon image made from a picture: scaled to 32 x 32, its colours
// mapped to the 16 with error diffusion, the mask from its transparency.
sfx::Bytes IconImage(const Rgba& image);

// Writes options.iconPath's picture over the stub's icon image, in place;
// false, reported, when it cannot be read.  Nothing to do without --icon.
bool ApplyIcon(const Options& options, sfx::Bytes* stub, Reporter& report);

// The commands.  Each writes its output to `out` and reports its problems
// and warnings as values; each returns the exit code.
int Pack(const Options& options, const sfx::Bytes& embeddedStub, std::ostream& out, Reporter& report,
         PackObserver* observer = nullptr);
// The same into a sink of the caller's (the page that packs in a browser)
// rather than into options.output, which only names it.
class Sink;
int PackInto(const Options& options, const sfx::Bytes& embeddedStub, Sink& sink, std::ostream& out, Reporter& report,
             PackObserver* observer = nullptr);
// "kvxsfx-pack 1.0.0"
extern const char VersionLine[];

// Lists a file; `carriedStub` is the stub this packer carries, to tell whether
// the file was made with it.
int List(const std::string& file, const sfx::Bytes& carriedStub, std::ostream& out, Reporter& report);
// The same as one JSON document, for scripts: the configuration texts, the
// stub, the signature and every entry, in UTF-8, with the raw bytes in hex
// beside any text that is not code page 932.
// Without `shapes`, the entries' data is passed over, not read, and the
// streams' blocks are not counted (the page lists a file so).
int ListJson(const std::string& file, const sfx::Bytes& carriedStub, std::ostream& out, Reporter& report,
             bool shapes = true);
// Told the file offset each piece of an entry's data is read up to.
using ReadProgress = std::function<void(uint64_t offset)>;
int Test(const std::string& file, std::ostream& out, Reporter& report, const ReadProgress& progress = nullptr);
int Extract(const std::string& file, const std::string& directory, std::ostream& out, Reporter& report);

// Where Extract's entries go: a folder on disk, or the page's folder or .zip.
// The reader has checked each name (IsContainedName) before Open, and
// gives it as the stub makes it: '/' between folders, no empty part.
class ExtractTarget {
public:
    virtual ~ExtractTarget() = default;
    // Names the place in messages.
    virtual std::string Where() const = 0;
    // Begins the file of an entry (UTF-8, '/' separated) with the entry's
    // time, null when its date and time are not valid, and whether the file
    // carries it compressed; false, reported, when it cannot be made.
    virtual bool Open(const std::string& relative, const std::time_t* when, bool compressed, Reporter& report) = 0;
    virtual bool Write(const char* data, size_t n) = 0;
    // Ends it: `whole` false when its data was damaged or cut short,
    // `sizeRight` when it holds as many bytes as the entry says (the stub
    // then sets the time).  False when it cannot be finished.
    virtual bool Close(bool whole, bool sizeRight) = 0;
    // The entry's DOS date and time as the file holds them, told before Open.
    virtual void Dated(uint16_t /*dosDate*/, uint16_t /*dosTime*/) {}
    // Whether an entry's data must check out whole before any of it is
    // written (a target that cannot take back what it was given).
    virtual bool CheckFirst(uint64_t /*unpackedSize*/, bool /*compressed*/) const { return false; }
};
int ExtractInto(const std::string& file, ExtractTarget& target, std::ostream& out, Reporter& report,
                const ReadProgress& progress = nullptr);

// The command line, arguments in UTF-8: problems are written to `err` in the
// user's language, "kvxsfx-pack: " in front.
int Main(const std::vector<std::string>& args, const sfx::Bytes& embeddedStub, std::ostream& out, std::ostream& err);

}  // namespace pack
