// The packer's reader over files strangers send: `list`, `test` and
// `extract`, as archivists run them on Linux without running the file.  The
// first 512 bytes of an input become the file's headers (so the PE headers
// and the certificate directory that signed files need are fuzzed too), the
// rest its payload at offset 53,248.  Built twice: FUZZ_EXTRACT extracts into
// a private directory, which nothing may leave; otherwise list, list --json
// and test run, on a file whose name is not UTF-8, and every JSON listing
// must parse as strict UTF-8 JSON.  Every failure must be a clean error: exit
// code 1 and a message.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "pack.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own for the run's files, removed as the run ends (its
// name kept where no destructor runs before that).
const fs::path& Jail()
{
    static char made[] = "/tmp/kvxfuzzpack.XXXXXX";
    static const fs::path jail = [] {
        if (mkdtemp(made) == nullptr)
            std::abort();
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(made, ignored);
        });
        return fs::path(made);
    }();
    return jail;
}

#ifdef FUZZ_EXTRACT
const char InputName[] = "input.exe";
#else
const char InputName[] = "input\xe9.exe";  // Latin-1, as an old shell might name it
#endif

std::string WriteInput(const uint8_t* data, size_t size)
{
    const std::string path = (Jail() / InputName).string();
    const size_t head = size < 512 ? size : 512;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || pwrite(fd, data, head, 0) != (ssize_t)head || ftruncate(fd, 53248) != 0 ||
        pwrite(fd, data + head, size - head, 53248) != (ssize_t)(size - head))
        std::abort();
    close(fd);
    return path;
}

void Clean(int code, const std::ostringstream& err)
{
    if (code == 0 || (code == 1 && err.str().rfind("kvxsfx-pack: ", 0) == 0))
        return;
    std::fprintf(stderr, "not a clean end: exit code %d, \"%s\"\n", code, err.str().c_str());
    std::abort();
}

#ifdef FUZZ_EXTRACT
// The destination is jail/a/b/out, with a link in it that leads to
// jail/outside: whatever the names, nothing may appear beside the input and
// the destination, and nothing behind the link.
void CheckJail(const fs::path& jail)
{
    for (auto it = fs::recursive_directory_iterator(jail); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = it->path().lexically_relative(jail);
        const std::string top = relative.begin()->string();
        const bool allowed = relative == "input.exe" || relative == "outside" || relative == "a" || relative == "a/b" ||
                             (relative.string().rfind("a/b/out", 0) == 0);
        if (!allowed || top == "outside" && relative != "outside") {
            std::fprintf(stderr, "escaped the destination: %s\n", relative.c_str());
            std::abort();
        }
        if (it->is_symlink())
            it.disable_recursion_pending();
    }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string file = WriteInput(data, size);
    std::ostringstream out, err;
    pack::StreamReporter report(err);
#ifdef FUZZ_EXTRACT
    const fs::path destination = Jail() / "a" / "b" / "out";
    fs::remove_all(Jail() / "a");
    fs::create_directories(destination);
    fs::create_directories(Jail() / "outside");
    fs::create_directory_symlink("../../../outside", destination / "link");
    Clean(pack::Extract(file, destination.string(), out, report), err);
    CheckJail(Jail());
#else
    static const sfx::Bytes carried(53248, 0);  // a stub to compare the file's with
    Clean(pack::List(file, carried, out, report), err);
    std::ostringstream json, err3;
    pack::StreamReporter report3(err3);
    Clean(pack::ListJson(file, carried, json, report3), err3);
    if (!json.str().empty() && !nlohmann::json::accept(json.str())) {
        std::fprintf(stderr, "list --json wrote no valid JSON:\n%s\n", json.str().c_str());
        std::abort();
    }
    std::ostringstream err2;
    pack::StreamReporter report2(err2);
    Clean(pack::Test(file, out, report2), err2);
#endif
    return 0;
}
