// A whole ExtractAll of an arbitrary payload into a private directory: it may
// fail any way it likes, but it may change nothing but the destination and the
// staging file, judged by Windows' rules for names (tests/fuzz/shim).
#include <dirent.h>

#include <set>

#include "archive/archive.h"
#include "fs/fs.h"
#include "fuzz_common.h"

static void RemoveTree(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                RemoveTree(path + "/" + name);
        }
        closedir(dir);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& root = FuzzRoot();
    static bool entered = (chdir(root.c_str()) == 0);
    (void)entered;
    ShimSetBoundary((root + "/dest").c_str(), (root + "/Qel00tmp.tmp").c_str());
    RemoveTree(root + "/dest");
    WritePayloadFile(root + "/archive.exe", data, size);
    strcpy(ModulePath, (root + "/archive.exe").c_str());
    strcpy(DestinationDir, (root + "/dest\\").c_str());
    strcpy(StagingPath, (root + "/Qel00tmp.tmp").c_str());
    ExtractAll();

    // Only our own file, the staging file and the destination may be there.
    static const std::set<std::string> allowed = {".", "..", "archive.exe", "Qel00tmp.tmp", "dest", "entries.bin"};
    DIR* dir = opendir(root.c_str());
    while (dirent* e = readdir(dir)) {
        if (!allowed.count(e->d_name)) {
            std::fprintf(stderr, "escaped the destination: %s\n", e->d_name);
            std::abort();
        }
    }
    closedir(dir);
    ShimSetBoundary("", "");
    return 0;
}
