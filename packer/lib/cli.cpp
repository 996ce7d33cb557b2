// The command line of kvxsfx-pack.
#include <cstdio>

#include "pack.h"

#ifdef _WIN32
#include <io.h>
#define PACK_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define PACK_ISATTY(fd) isatty(fd)
#endif

namespace pack {

const char VersionLine[] = "kvxsfx-pack " KVX_VERSION;

static const char Usage[] = N_(
    "usage: kvxsfx-pack -o OUTPUT.exe [options] FILE|DIR...\n"
    "       kvxsfx-pack list [--json] FILE.exe\n"
    "       kvxsfx-pack test FILE.exe\n"
    "       kvxsfx-pack extract FILE.exe DIR\n"
    "\n"
    "Packs files and directories (their contents, by the names below them) into a\n"
    "self-extracting file for Windows.\n"
    "\n"
    "  -o, --output FILE   the self-extracting file to write\n"
    "  --title TEXT        caption of the destination dialog\n"
    "  --message TEXT      message in the destination dialog\n"
    "  --dest DIR          destination offered in the dialog (default: beside the file)\n"
    "  --launch FILE       file to open after extraction, relative to the destination\n"
    "  --store             store every file uncompressed\n"
    "  -1 .. -9            bzip2 block size in 100 kB (default -9)\n"
    "  --smallest          the smallest bzip2 streams, slower to make (by default\n"
    "                      each stream is what bzip2 itself writes)\n"
    "  --threads N         compression threads (default: one per core)\n"
    "  --exclude PATTERN   leave out what the pattern names (may be repeated):\n"
    "                      *.bak, Thumbs.db and .git/ at any depth, build/*.o\n"
    "                      below the input folder, ** across folders\n"
    "  --icon FILE         the icon to show (.png or .ico), instead of the stub's\n"
    "  --stub FILE         use this stub instead of the one carried inside\n"
    "  -q, --quiet         no progress and no summary\n"
    "  -v, --verbose       also list what --exclude left out\n"
    "  -V, --version       print the version\n"
    "\n"
    "Sign last: pack, sign (osslsigncode or signtool), then `kvxsfx-pack test FILE.exe`.\n"
    "With SOURCE_DATE_EPOCH set, no file time is written later than it; with TZ\n"
    "and it the same, the same inputs give the same bytes on any machine.\n");

namespace {

// One line on the terminal, redrawn in place: files, sizes and speed.
class TerminalProgress : public PackObserver {
public:
    explicit TerminalProgress(std::ostream& err) : err_(err) {}
    void Progress(const PackStatus& s) override
    {
        const uint64_t speed = s.seconds > 0 ? (uint64_t)(s.bytesDone / s.seconds) : 0;
        err_ << "\r  "
             << Say(N_("{done}/{files} files  {bytes} of {total}  {speed}/s"),
                    {{"done", (uint64_t)s.filesDone}, {"files", (uint64_t)s.files}, {"bytes", s.bytesDone, Value::Size},
                     {"total", s.bytes, Value::Size}, {"speed", speed, Value::Size}})
             << "   " << (s.finished ? "\n" : "") << std::flush;
    }

private:
    std::ostream& err_;
};


}  // namespace

int Main(const std::vector<std::string>& args, const sfx::Bytes& embeddedStub, std::ostream& out, std::ostream& err)
{
    StreamReporter report(err);
    auto usage = [&](const char* problem, std::vector<Value> values = {}) {
        if (problem != nullptr)
            report.Error(problem, std::move(values));
        err << Tr(Usage);
        return ExitUsage;
    };
    if (args.empty())
        return usage(nullptr);
    const std::string& command = args[0];
    if (command == "-V" || command == "--version") {
        out << VersionLine << "\n";
        return ExitOk;
    }
    if (command == "-h" || command == "--help") {
        out << Tr(Usage);
        return ExitOk;
    }
    if (command == "list" && args.size() == 3 && (args[1] == "--json" || args[2] == "--json"))
        return ListJson(args[args[1] == "--json" ? 2 : 1], embeddedStub, out, report);
    if (command == "list" || command == "test") {
        if (args.size() != 2)
            return usage(N_("{command} takes one file"), {{"command", command}});
        return command == "list" ? List(args[1], embeddedStub, out, report) : Test(args[1], out, report);
    }
    if (command == "extract") {
        if (args.size() != 3)
            return usage(N_("extract takes a file and a directory"));
        return Extract(args[1], args[2], out, report);
    }

    Options options;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= args.size())
                return false;
            *into = args[++i];
            return true;
        };
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            options.inputs.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-o" || a == "--output") {
            if (!value(&options.output))
                return usage(N_("{option} needs a file"), {{"option", a}});
        } else if (a == "--title" || a == "--message" || a == "--dest" || a == "--launch" || a == "--stub" ||
                   a == "--icon") {
            std::string* into = a == "--title" ? &options.title
                              : a == "--message" ? &options.message
                              : a == "--dest" ? &options.destination
                              : a == "--launch" ? &options.launch
                              : a == "--icon" ? &options.iconPath
                                                : &options.stubPath;
            if (!value(into))
                return usage(N_("{option} needs a value"), {{"option", a}});
        } else if (a == "--store") {
            options.storeAll = true;
        } else if (a == "--smallest") {
            options.smallest = true;
        } else if (a == "--exclude") {
            options.excludes.emplace_back();
            if (!value(&options.excludes.back()) || options.excludes.back().empty())
                return usage(N_("{option} needs a pattern"), {{"option", a}});
        } else if (a == "-q" || a == "--quiet") {
            options.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else if (a.size() == 2 && a[1] >= '1' && a[1] <= '9') {
            options.blockSize = a[1] - '0';
        } else if (a == "--threads") {
            std::string n;
            if (!value(&n) || n.empty() || n.find_first_not_of("0123456789") != std::string::npos || std::stoul(n) == 0 ||
                std::stoul(n) > 256)
                return usage(N_("--threads needs a number from 1 to 256"));
            options.threads = (unsigned)std::stoul(n);
        } else {
            return usage(N_("unknown option {option}"), {{"option", a}});
        }
    }
    if (options.output.empty())
        return usage(N_("no output file given (-o)"));
    if (options.inputs.empty())
        return usage(N_("no files or directories to pack"));
    if (!ReadSourceDateEpoch(&options, report))
        return ExitUsage;
    TerminalProgress progress(err);
    return Pack(options, embeddedStub, out, report, !options.quiet && PACK_ISATTY(2) ? &progress : nullptr);
}

}  // namespace pack
