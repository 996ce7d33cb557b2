// Collecting the inputs: files by their own name, directories by the names
// below them, sorted by name at every level so the same tree always packs the
// same way.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <set>

#include "pack.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace pack {
namespace {

std::string Utf8(const fs::path& p)
{
    const auto s = p.u8string();
    return std::string(s.begin(), s.end());
}

// Size, modification time and the read-only flag of a file (links followed).
bool Describe(const fs::path& path, Item* item)
{
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    item->size = (uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow;
    const uint64_t ticks = (uint64_t)data.ftLastWriteTime.dwHighDateTime << 32 | data.ftLastWriteTime.dwLowDateTime;
    item->mtime = (std::time_t)((ticks - 116444736000000000ULL) / 10000000ULL);
    item->readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
#else
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    item->size = (uint64_t)st.st_size;
    item->mtime = st.st_mtime;
    item->readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
#endif
    return true;
}

bool Readable(const fs::path& path)
{
#ifdef _WIN32
    FILE* f = _wfopen(path.c_str(), L"rb");
#else
    FILE* f = std::fopen(path.c_str(), "rb");
#endif
    if (f == nullptr)
        return false;
    std::fclose(f);
    return true;
}

class Collector {
public:
    Collector(const std::vector<std::string>& excludes, std::vector<Item>* items, std::vector<std::string>* excluded,
              Reporter& report)
        : items_(items), excluded_(excluded), report_(report)
    {
        for (const std::string& pattern : excludes)
            excludes_.push_back(ExcludeMatcher(pattern));
    }

    // True, and noted, when a pattern leaves out this path (a folder unwalked).
    bool Excluded(const std::string& path, bool isDirectory)
    {
        for (const auto& excludes : excludes_)
            if (excludes(path, isDirectory)) {
                excluded_->push_back(path + (isDirectory ? "/" : ""));
                return true;
            }
        return false;
    }

    void AddFile(const fs::path& path, const std::string& dirName, const std::string& fileName)
    {
        Item item;
        item.source = Utf8(path);
        item.dirName = dirName;
        item.fileName = fileName;
        if (!Describe(path, &item) || !Readable(path)) {
            Error(N_("{file}: cannot be read"), item.source);
            return;
        }
        items_->push_back(item);
    }

    // `dirName` is the name the directory has inside the archive ("" for an
    // input directory itself).
    void Walk(const fs::path& dir, const std::string& dirName)
    {
        std::error_code ec;
        const fs::path real = Resolved(dir, ec);
        if (ec) {
            Error(N_("{file}: cannot be read"), Utf8(dir));
            return;
        }
        if (active_.count(real)) {
            report_.Error(N_("{file}: a symbolic link leads back into {folder} (a loop)"),
                          {{"file", Utf8(dir)}, {"folder", Utf8(real)}});
            ok_ = false;
            return;
        }
        active_.insert(real);

        std::vector<std::pair<std::string, fs::path>> children;
        fs::directory_iterator it(dir, ec), end;
        for (; !ec && it != end; it.increment(ec))
            children.emplace_back(Utf8(it->path().filename()), it->path());
        if (ec) {
            Error(N_("{file}: cannot be read"), Utf8(dir));
        } else if (children.empty() && !dirName.empty()) {
            report_.Warning(N_("{file}: an empty directory cannot be carried; it is left out"), {{"file", Utf8(dir)}});
        }
        std::sort(children.begin(), children.end());
        for (const auto& [name, path] : children) {
            const fs::file_status st = fs::status(path, ec);
            if (ec || !fs::exists(st))
                Error(N_("{file}: cannot be read"), Utf8(path));
            else if (Excluded(dirName + name, fs::is_directory(st)))
                continue;
            else if (fs::is_directory(st))
                Walk(path, dirName + name + "/");
            else if (fs::is_regular_file(st))
                AddFile(path, dirName, name);
            else
                Error(N_("{file}: not a regular file or directory"), Utf8(path));
        }
        active_.erase(real);
    }

    bool ok() const { return ok_; }
    void Error(const char* what, const std::string& file)
    {
        report_.Error(what, {{"file", file}});
        ok_ = false;
    }

private:
    // The folder's own path, links resolved: to find a walk that leads back
    // into itself.  The files a browser's page is given have no links (and
    // its system cannot resolve paths), so there its absolute path serves.
    static fs::path Resolved(const fs::path& dir, std::error_code& ec)
    {
#ifdef __EMSCRIPTEN__
        return fs::absolute(dir, ec);
#else
        return fs::canonical(dir, ec);
#endif
    }

    std::vector<std::function<bool(const std::string&, bool)>> excludes_;
    std::vector<Item>* items_;
    std::vector<std::string>* excluded_;
    Reporter& report_;
    std::set<fs::path> active_;  // directories on the current walk, resolved
    bool ok_ = true;
};

// Reports each pattern past the limit.
bool CheckExcludes(const std::vector<std::string>& excludes, Reporter& report)
{
    static_assert(MaxExcludeBytes == 4096, "the message says 4,096");
    bool ok = true;
    for (const std::string& pattern : excludes)
        if (pattern.size() > MaxExcludeBytes) {
            report.Error(N_("an --exclude pattern has {length} bytes; at most 4,096 are taken, as each pattern is "
                            "compared with every path"),
                         {{"length", (uint64_t)pattern.size()}});
            ok = false;
        }
    return ok;
}

}  // namespace

bool CollectInputs(const Options& options, std::vector<Item>* items, Reporter& report,
                   std::vector<std::string>* excluded)
{
    // A pattern past the limit is reported and left out, and the walk goes
    // on without it, so that a missing input is still named and --launch is
    // judged against the files the inputs hold.
    const bool patternsOk = CheckExcludes(options.excludes, report);
    std::vector<std::string> patterns;
    for (const std::string& pattern : options.excludes)
        if (pattern.size() <= MaxExcludeBytes)
            patterns.push_back(pattern);
    std::vector<std::string> ignored;
    Collector collector(patterns, items, excluded != nullptr ? excluded : &ignored, report);
    for (const std::string& input : options.inputs) {
        const fs::path path = fs::u8path(input);
        std::error_code ec;
        const fs::file_status st = fs::status(path, ec);
        if (ec || !fs::exists(st))
            collector.Error(N_("{file}: no such file or directory"), input);
        else if (fs::is_directory(st))
            collector.Walk(path, "");
        else if (fs::is_regular_file(st) && !collector.Excluded(Utf8(path.filename()), false))
            collector.AddFile(path, "", Utf8(path.filename()));
        else if (!fs::is_regular_file(st))
            collector.Error(N_("{file}: not a regular file or directory"), input);
    }
    return collector.ok() && patternsOk;
}

bool ReadSourceDateEpoch(Options* options, Reporter& report)
{
    const char* value = std::getenv("SOURCE_DATE_EPOCH");
    if (value == nullptr || *value == '\0')
        return true;
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(value, &end, 10);
    if (*end != '\0' || errno != 0 || seconds < 0 || !(value[0] >= '0' && value[0] <= '9')) {
        report.Error(N_("SOURCE_DATE_EPOCH={value} is not a number of seconds since 1970-01-01 00:00 UTC"),
                     {{"value", value}});
        return false;
    }
    options->latestTime = (std::time_t)seconds;
    return true;
}

}  // namespace pack
