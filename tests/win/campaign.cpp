// A mutation campaign through the real stub: valid self-extracting files are
// damaged and made hostile in every way a careless or malicious builder could,
// and each one is run through dist/kvxsfx.exe like a person would run it.
// Every run must end in time with exit code 0 and exactly one message box,
// write nothing outside its own destination, and every hostile name must end
// with the failure message.  Mutants that must still extract (unchanged
// copies, bytes appended after the last entry, data of a stored entry changed
// without touching any header) must end with the completion message and leave
// every file with the right bytes.
//   stub_campaign STUB SEED RUNS [FIRST]   (FIRST: the run to start at, to replay one)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "driver.h"
#include "sfxwriter.h"

namespace {

const wchar_t FailedText[] = L"致命的なエラーです。解凍を中止します";
const wchar_t CompletedText[] = L"ファイルの解凍を終了しました。";

std::string TempDir()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

void RemoveTree(const std::string& dir)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string full = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL), DeleteFileA(full.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

sfx::Entry MakeEntry(const std::string& dir, const std::string& name, const sfx::Bytes& content, uint16_t method)
{
    sfx::Entry e;
    e.dirName = dir;
    e.fileName = name;
    e.unpackedSize = (uint32_t)content.size();
    e.method = method;
    const bool stored = method == sfx::Stored ||
                        (method == sfx::ByExtension && name.size() > 4 && name.substr(name.size() - 4) == ".zip");
    e.data = stored ? content : sfx::Bzip2Compress(content, 1);
    e.dosDate = (30 << 9) | (3 << 5) | 4;
    e.dosTime = (5 << 11) | (6 << 5) | 7;
    return e;
}

// The valid starting point: several entries, Shift-JIS names (with 0x5C
// second bytes), every method; and what each extracts to (an entry without
// data creates nothing).
const size_t StoredEntry = 3;
std::vector<sfx::Entry> BaseEntries(std::mt19937& rng, std::vector<sfx::Bytes>* contents)
{
    auto text = [&](size_t n) {
        sfx::Bytes b(n);
        for (uint8_t& c : b)
            c = (uint8_t)("abcdefgh \r\n"[rng() % 11]);
        contents->push_back(b);
        return b;
    };
    return {
        MakeEntry("", "readme.txt", text(3000), sfx::Bzip2),
        MakeEntry("\x95\x5c\\", "\x83\x5c\x94\x5c.txt", text(40000), sfx::ByExtension),
        MakeEntry("data\\sub\\", "packed.zip", text(500), sfx::ByExtension),
        MakeEntry("data\\", "stored.bin", text(2000), sfx::Stored),
        MakeEntry("", "other.dat", text(100), 5),
        MakeEntry("empty\\", "nothing", text(0), sfx::Stored),
    };
}

// Every entry with data is on disk below `dest` with the bytes it should have.
bool Extracted(const std::string& dest, const std::vector<sfx::Entry>& entries, const std::vector<sfx::Bytes>& contents)
{
    for (size_t i = 0; i < entries.size(); i++) {
        sfx::Bytes got;
        const bool read = sfx::ReadWholeFile(dest + entries[i].dirName + entries[i].fileName, &got);
        if (entries[i].data.empty() ? read : !read || got != contents[i])
            return false;
    }
    return true;
}

struct Layout {
    sfx::Bytes file;
    std::vector<size_t> starts;  // offset of each entry
};

Layout Build(const sfx::Bytes& stub, const std::string& dest, const std::vector<sfx::Entry>& entries,
             const std::vector<sfx::Damage>& damage = {})
{
    Layout l;
    std::vector<sfx::Bytes> encoded;
    size_t at = sfx::StubSize;
    for (size_t i = 0; i < entries.size(); i++) {
        encoded.push_back(sfx::EncodeEntry(entries[i], i < damage.size() ? damage[i] : sfx::Damage{}));
        l.starts.push_back(at);
        at += encoded.back().size();
    }
    l.file = sfx::BuildArchive(stub, {"", "", dest, ""}, encoded);
    return l;
}

const char* const HostileDirs[] = {"..\\", "a\\..\\..\\", "../", "\\", "/", "C:\\", "C:", "\\\\host\\share\\",
                                   "x\\.. \\", "x\\...\\", "CON\\", "aux.txt\\", "lpt3\\"};
const char* const HostileFiles[] = {"..\\escape.txt", "escape.txt:stream", "NUL", "com1.log", "..", "C:escape.txt"};

struct Counts {
    int runs = 0, crashes = 0, hangs = 0, wrongBoxes = 0, escapes = 0, hostileAccepted = 0, wrongEndings = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: stub_campaign STUB SEED RUNS\n");
        return 2;
    }
    sfx::Bytes stub;
    if (!sfx::ReadWholeFile(argv[1], &stub) || stub.size() != sfx::StubSize) {
        std::fprintf(stderr, "stub_campaign: %s is not the stub\n", argv[1]);
        return 2;
    }
    const unsigned seed = (unsigned)std::stoul(argv[2]);
    const int runs = std::stoi(argv[3]);
    const int first = argc > 4 ? std::stoi(argv[4]) : 0;
    const std::string work = TempDir() + "kvxcampaign_" + std::to_string(seed) + "_" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(work.c_str(), NULL);
    Counts counts;
    // What the drive root held before: anything new there is an escape, and
    // is removed.  Without a listing nothing could be told apart: stop.
    const std::vector<std::string> rootBefore = Names("C:");
    if (rootBefore.empty()) {
        std::fprintf(stderr, "stub_campaign: C:\\ cannot be listed; not starting\n");
        return 2;
    }

    for (int i = first; i < first + runs; i++) {
        std::mt19937 rng(seed * 1000003u + (unsigned)i);
        const std::string runDir = work + "\\run" + std::to_string(i);
        const std::string dest = runDir + "\\dest\\";
        CreateDirectoryA(runDir.c_str(), NULL);
        std::vector<sfx::Bytes> contents;
        std::vector<sfx::Entry> entries = BaseEntries(rng, &contents);
        bool hostile = false, mustExtract = false;
        std::string what;
        Layout l;

        switch (rng() % 7) {
        case 0: {  // bits flipped anywhere in the payload
            l = Build(stub, dest, entries);
            const int flips = 1 + rng() % 8;
            for (int f = 0; f < flips; f++) {
                const size_t at = sfx::StubSize + rng() % (l.file.size() - sfx::StubSize);
                l.file[at] ^= (uint8_t)(1 << (rng() % 8));
            }
            what = "flipped " + std::to_string(flips) + " bits";
            break;
        }
        case 1: {  // cut at, just before or just after a boundary, or anywhere
            l = Build(stub, dest, entries);
            const size_t e = rng() % l.starts.size();
            const size_t offsets[] = {0, 1, 4, 27, 28, 29, 40, 100};
            size_t cut = l.starts[e] + offsets[rng() % 8];
            if (rng() % 3 == 0)
                cut = sfx::StubSize + rng() % (l.file.size() - sfx::StubSize);
            l.file.resize(std::min(cut, l.file.size()));
            what = "cut at " + std::to_string(cut);
            break;
        }
        case 2: {  // garbage appended
            l = Build(stub, dest, entries);
            const size_t n = 1 + rng() % 200;
            for (size_t k = 0; k < n; k++)
                l.file.push_back((uint8_t)rng());
            what = "appended " + std::to_string(n) + " bytes";
            mustExtract = true;
            break;
        }
        case 5:  // unchanged
            l = Build(stub, dest, entries);
            what = "unchanged";
            mustExtract = true;
            break;
        case 6: {  // a stored entry's data changed, no header touched
            l = Build(stub, dest, entries);
            const sfx::Entry& e = entries[StoredEntry];
            const size_t k = rng() % e.data.size();
            const uint8_t flip = (uint8_t)(1 + rng() % 255);
            l.file[l.starts[StoredEntry] + 28 + e.dirName.size() + e.fileName.size() + k] ^= flip;
            contents[StoredEntry][k] ^= flip;
            what = "stored data changed at " + std::to_string(k);
            mustExtract = true;
            break;
        }
        case 3: {  // a field rewritten, with a checksum that matches it
            std::vector<sfx::Damage> damage(entries.size());
            const size_t e = rng() % entries.size();
            const uint32_t values[] = {0, 1, 16383, 16384, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, (uint32_t)rng()};
            switch (rng() % 4) {
            case 0:
                damage[e].packedSize = values[rng() % 8] % (rng() % 2 ? 0xFFFFFFFFu : 100000u);
                what = "PackedSize";
                break;
            case 1:
                entries[e].unpackedSize = values[rng() % 8];
                what = "UnpackedSize";
                break;
            case 2:
                entries[e].method = (uint16_t)(rng() % 2 ? rng() : rng() % 6);
                what = "Method";
                break;
            default:
                damage[e].dirNameLength = (uint16_t)(rng() % 300);
                damage[e].fileNameLength = (uint16_t)(rng() % 300);
                what = "name lengths";
                break;
            }
            what += " of entry " + std::to_string(e);
            l = Build(stub, dest, entries, damage);
            break;
        }
        default: {  // a hostile name, with a valid checksum
            const size_t e = rng() % entries.size();
            if (rng() % 2)
                entries[e].dirName = HostileDirs[rng() % (sizeof(HostileDirs) / sizeof(*HostileDirs))];
            else
                entries[e].fileName = HostileFiles[rng() % (sizeof(HostileFiles) / sizeof(*HostileFiles))];
            hostile = true;
            what = "hostile name " + entries[e].dirName + entries[e].fileName;
            l = Build(stub, dest, entries);
            break;
        }
        }

        const std::string exe = runDir + "\\setup.exe";
        sfx::WriteWholeFile(exe, l.file);
        const RunResult result = RunToEnd(exe, 30000);
        counts.runs++;
        std::vector<std::string> problems;
        if (result.exitCode == -1)
            counts.hangs++, problems.push_back("did not end in time");
        else if (result.exitCode != 0)
            counts.crashes++, problems.push_back("exit code " + std::to_string(result.exitCode));
        if (result.boxes.size() != 1) {
            std::string texts;
            for (const SeenMessageBox& box : result.boxes)
                texts += " [" + std::to_string(box.text.size()) + " characters]";
            counts.wrongBoxes++, problems.push_back(std::to_string(result.boxes.size()) + " message boxes" + texts);
        }
        if (mustExtract && (result.boxes.empty() || result.boxes[0].text.compare(0, 15, CompletedText) != 0 ||
                            !Extracted(dest, entries, contents)))
            counts.wrongEndings++, problems.push_back("did not extract every file as it should");
        // Only the program and its destination may be in the run's folder, and
        // nothing may have reached the drive root or the campaign's folder.
        // A listing that fails ends the campaign: it could clean up nothing.
        const std::vector<std::string> inRun = Names(runDir), inRoot = Names("C:"), inWork = Names(work);
        if (inRun.empty() || inRoot.empty() || inWork.empty()) {
            std::fprintf(stderr, "stub_campaign: run %d: a folder cannot be listed; stopping\n", i);
            return 2;
        }
        bool escaped = false;
        for (const std::string& name : inRun)
            escaped |= name != "setup.exe" && name != "dest";
        for (const std::string& name : inRoot) {
            if (std::find(rootBefore.begin(), rootBefore.end(), name) == rootBefore.end()) {
                escaped = true;
                RemoveTree("C:\\" + name);
                DeleteFileA(("C:\\" + name).c_str());
            }
        }
        for (const std::string& name : inWork)
            escaped |= name.compare(0, 3, "run") != 0;
        if (escaped)
            counts.escapes++, problems.push_back("wrote outside its destination");
        if (hostile && (result.boxes.empty() || result.boxes[0].text != FailedText))
            counts.hostileAccepted++, problems.push_back("a hostile name did not fail");
        if (!problems.empty()) {
            std::printf("run %d (%s):", i, what.c_str());
            for (const std::string& p : problems)
                std::printf(" %s;", p.c_str());
            std::printf("\n");
        }
        RemoveTree(runDir);
        if ((i + 1 - first) % 500 == 0) {
            std::printf("... %d runs\n", i + 1);
            std::fflush(stdout);
        }
    }
    RemoveTree(work);
    const int failed =
        counts.crashes + counts.hangs + counts.wrongBoxes + counts.escapes + counts.hostileAccepted + counts.wrongEndings;
    std::printf("campaign seed %u: %d runs, %d crashes, %d hangs, %d wrong message counts, %d escapes, "
                "%d hostile names accepted, %d wrong endings\n",
                seed, counts.runs, counts.crashes, counts.hangs, counts.wrongBoxes, counts.escapes, counts.hostileAccepted,
                counts.wrongEndings);
    std::printf("%d passed, %d failed\n", counts.runs - failed, failed);
    return failed == 0 ? 0 : 1;
}
