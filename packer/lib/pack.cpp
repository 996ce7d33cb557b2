// Packing, in four steps: plan (every check before anything is written),
// open the output (a temporary file renamed into place only when complete),
// compress on every core (the pipeline), and write the entries in order.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>

#include "pipeline.h"

#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace pack {
namespace {

const uint64_t SizeLimit = 1ULL << 32;  // sizes are 32-bit in the format
const size_t CopyChunk = 1 << 20;


// ---- Step 1: the plan ----------------------------------------------------

struct Plan {
    sfx::Bytes stub;  // with the configuration block written
    std::vector<Item> items;
    std::vector<std::string> excluded;  // what --exclude left out
    std::vector<Job> jobs;
    uint64_t totalBytes = 0;
};

std::string Hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04X", value);
    return text;
}

// Why a stub cannot be used, or a warning about it; `what` is null when it
// is a 32-bit Windows program of the right size with its configuration area free.
Problem StubProblem(const sfx::Bytes& stub, const std::string& name)
{
    const uint8_t* b = stub.data();
    if (stub.size() != sfx::StubSize)
        return {N_("{file} is {size} bytes, not 53,248: not a stub that can be used"),
                {{"file", name}, {"size", (uint64_t)stub.size()}}};
    const uint32_t pe = sfx::Get32(b + 0x3C);
    if (b[0] != 'M' || b[1] != 'Z' || pe > sfx::StubSize - 0x200 || std::memcmp(b + pe, "PE\0\0", 4) != 0 ||
        (sfx::Get16(b + pe + 22) & 0x2002) != 0x0002)  // an executable image, not a DLL
        return {N_("{file} is not a Windows program"), {{"file", name}}};
    const uint16_t machine = sfx::Get16(b + pe + 4);
    if (machine != 0x14C && machine != 0x8664)
        return {N_("{file} is a program for another processor (machine type {machine}), and this file is for 32-bit "
                   "Windows"),
                {{"file", name}, {"machine", Hex16(machine)}}};
    std::string error;  // the size and the program were checked: only the configuration area is left
    if (!sfx::CheckStub(stub, &error))
        return {N_("{file} has texts in its configuration area (bytes 768 to 1,791): a finished self-extracting "
                   "file, not a stub"),
                {{"file", name}}};
    if (machine == 0x8664)
        return {N_("{file} is an x86_64 program: the file made from it runs on 64-bit Windows only"),
                {{"file", name}}, true};
    return {nullptr, {}};
}

bool LoadStub(const Options& options, const sfx::Bytes& embeddedStub, sfx::Bytes* stub, Reporter& report)
{
    *stub = embeddedStub;
    if (!options.stubPath.empty() && !ReadFileBytes(options.stubPath, stub)) {
        report.Error(N_("{file}: cannot be read"), {{"file", options.stubPath}});
        return false;
    }
    sfx::CertificateDirectory signature;
    if (sfx::FindCertificateDirectory(stub->data(), std::min<size_t>(stub->size(), 4096), &signature)) {
        report.Error(N_("{file}: the stub is signed, and packing would break its signature; sign the finished file, "
                        "not the stub"), {{"file", options.stubPath}});
        return false;
    }
    const Problem problem =
        StubProblem(*stub, options.stubPath.empty() ? Tr(N_("the carried stub")) : options.stubPath);
    if (problem.what != nullptr)
        report.Report(problem);
    return problem.what == nullptr || problem.warning;
}

// The four texts of the dialog, in code page 932, written into the stub.
bool WriteTexts(const Options& options, sfx::Bytes* stub, Reporter& report)
{
    sfx::Config config;
    std::string* fields[] = {&config.title, &config.message, &config.destination, &config.launch};
    const std::string* values[] = {&options.title, &options.message, &options.destination, &options.launch};
    const char* names[] = {"--title", "--message", "--dest", "--launch"};
    bool ok = true;
    for (int i = 0; i < 4; i++) {
        if (i < 2 && values[i]->find_first_of("\r\n\t") != std::string::npos) {
            report.Error(N_("{option} has a line break or a tab; the dialog shows one line"), {{"option", names[i]}});
            ok = false;
        }
        if (!Utf8ToCp932(*values[i], fields[i])) {
            report.Error(N_("{option} has a character that Shift-JIS cannot hold"), {{"option", names[i]}});
            ok = false;
        } else if (fields[i]->size() > 255) {
            report.Error(N_("{option} is {length} bytes in Shift-JIS; at most 255 fit"),
                         {{"option", names[i]}, {"length", (uint64_t)fields[i]->size()}});
            ok = false;
        }
    }
    std::string error;
    return ok && sfx::WriteConfigBlock(*stub, config, &error);
}

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The self-extracting file takes the destination as it stands.
bool CheckDestination(const std::string& destination, Reporter& report)
{
    const size_t percent = destination.find('%');
    if (percent != std::string::npos && destination.find('%', percent + 2) != std::string::npos) {
        report.Error(N_("--dest {path} holds an environment variable, which the self-extracting file does not expand; "
                        "give the path itself"), {{"path", destination}});
        return false;
    }
    const bool drive = destination.size() >= 3 && IsAsciiLetter(destination[0]) && destination[1] == ':' &&
                       (destination[2] == '\\' || destination[2] == '/');
    const bool unc = destination.rfind("\\\\", 0) == 0 || destination.rfind("//", 0) == 0;
    if (!destination.empty() && !drive && !unc)
        report.Warning(N_("--dest {path} is a relative path; it will be taken from the folder the self-extracting file "
                          "is run in"), {{"path", destination}});
    return true;
}

// A name as Windows compares it: letter case and the kind of slash aside.
// Only ASCII letters fold, whatever the locale: the other bytes of UTF-8 text
// are parts of characters.
std::string Folded(std::string name)
{
    for (char& c : name)
        c = c == '\\' ? '/' : c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
    return name;
}

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

// The file to open after extraction must be one that is packed.
bool CheckLaunch(const std::string& launch, const std::vector<Item>& items, Reporter& report)
{
    if (launch.empty())
        return true;
    std::vector<std::pair<size_t, std::string>> nearest;
    for (const Item& item : items) {
        const std::string name = item.dirName + item.fileName;
        if (Folded(name) == Folded(launch))
            return true;
        nearest.emplace_back(EditDistance(Folded(name), Folded(launch)), name);
    }
    std::sort(nearest.begin(), nearest.end());
    std::string closest;
    for (size_t i = 0; i < nearest.size() && i < 3; i++)
        closest += (i == 0 ? "" : ", ") + nearest[i].second;
    if (closest.empty())
        report.Error(N_("--launch {name} names no packed file"), {{"name", launch}});
    else
        report.Error(N_("--launch {name} names no packed file; the closest packed names: {names}"),
                     {{"name", launch}, {"names", closest}});
    return false;
}

// One entry per item: names in code page 932 and every limit checked.
bool PrepareJob(const Options& options, const Item& item, Job* job, Reporter& report)
{
    job->item = &item;
    std::string dirName = item.dirName;
    std::replace(dirName.begin(), dirName.end(), '/', '\\');
    const std::string shown = item.dirName + item.fileName;
    if (!Utf8ToCp932(dirName, &job->entry.dirName) || !Utf8ToCp932(item.fileName, &job->entry.fileName)) {
        report.Error(N_("{file}: the name {name} has a character that Shift-JIS cannot hold"),
                     {{"file", item.source}, {"name", shown}});
        return false;
    }
    bool ok = true;
    const size_t dirLength = job->entry.dirName.size(), fileLength = job->entry.fileName.size();
    const size_t joined = dirLength + fileLength;
    if (dirLength > sfx::MaxNameLength || fileLength > sfx::MaxNameLength) {
        report.Error(N_("{file}: a name of {length} bytes; at most 259 fit"),
                     {{"file", item.source}, {"length", (uint64_t)std::max(dirLength, fileLength)}});
        ok = false;
    } else if (joined > sfx::MaxNameLength - 3) {
        report.Error(N_("{file}: {name} is {length} bytes long and would not fit below any destination (at most 256)"),
                     {{"file", item.source}, {"name", shown}, {"length", (uint64_t)joined}});
        ok = false;
    } else if (joined > 200) {
        report.Warning(N_("{name} is {length} bytes long; below a long destination it may not fit"),
                       {{"name", shown}, {"length", (uint64_t)joined}});
    }
    if (item.size >= SizeLimit) {
        report.Error(N_("{file}: files of 4 GiB or more cannot be carried"), {{"file", item.source}});
        ok = false;
    }
    bool clamped = false;
    // As tar's --clamp-mtime: nothing later than SOURCE_DATE_EPOCH.
    const std::time_t when = options.latestTime && item.mtime > *options.latestTime ? *options.latestTime : item.mtime;
    ToDosDateTime(when, &job->entry.dosDate, &job->entry.dosTime, &clamped);
    if (clamped)
        report.Warning(N_("{file}: its time lies outside 1980..2107 and was clamped"), {{"file", item.source}});
    job->entry.attributes = item.readOnly ? 0x21 : 0x20;
    job->entry.unpackedSize = (uint32_t)item.size;
    // An empty file still needs data: an entry without any creates nothing.
    job->compress = item.size == 0 || !(options.storeAll || IsStoredTypeName(item.fileName));
    job->entry.method = job->compress ? sfx::Bzip2 : sfx::Stored;
    return ok;
}

bool SameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return fs::equivalent(fs::u8path(a), fs::u8path(b), ec);
}

// An output inside an input folder would be packed into the next file made.
bool CheckOutputOutsideInputs(const Options& options, Reporter& report)
{
    std::error_code ec;
    const fs::path output = fs::weakly_canonical(fs::absolute(fs::u8path(options.output), ec), ec);
    for (const std::string& input : options.inputs) {
        const fs::path folder = fs::weakly_canonical(fs::absolute(fs::u8path(input), ec), ec);
        if (!fs::is_directory(folder, ec))
            continue;
        const fs::path relative = output.lexically_relative(folder);
        if (!relative.empty() && *relative.begin() != ".." && relative != ".") {
            report.Error(N_("the output {output} lies inside the input {input}"),
                         {{"output", options.output}, {"input", input}});
            return false;
        }
    }
    return true;
}

// Everything that can be wrong is found here, before anything is written.
bool MakePlan(const Options& options, const sfx::Bytes& embeddedStub, Plan* plan, Reporter& report)
{
    if (!LoadStub(options, embeddedStub, &plan->stub, report))
        return false;
    bool ok = WriteTexts(options, &plan->stub, report);
    ok = ApplyIcon(options, &plan->stub, report) && ok;
    ok = CheckDestination(options.destination, report) && ok;
    ok = CheckOutputOutsideInputs(options, report) && ok;
    ok = CollectInputs(options, &plan->items, report, &plan->excluded) && ok;
    ok = CheckLaunch(options.launch, plan->items, report) && ok;
    plan->jobs.resize(plan->items.size());
    for (size_t i = 0; i < plan->items.size(); i++) {
        const Item& item = plan->items[i];
        if (SameFile(item.source, options.output)) {
            report.Error(N_("the output {output} is also an input"), {{"output", options.output}});
            ok = false;
        }
        ok = PrepareJob(options, item, &plan->jobs[i], report) && ok;
        plan->totalBytes += item.size;
    }
    if (ok && plan->items.empty())
        report.Warning(N_("no files to carry"));
    return ok;
}

// ---- Step 2: the output file ----------------------------------------------

// The temporary output, removed again if the run is interrupted.
char temporaryOutput[4096];

extern "C" void OnInterrupt(int)
{
    if (temporaryOutput[0] != '\0')
        std::remove(temporaryOutput);
    std::_Exit(130);
}

// OUTPUT.partial, renamed to OUTPUT when complete and removed otherwise.
class OutputFile {
public:
    explicit OutputFile(const std::string& path) : path_(fs::u8path(path)), temporary_(path_.string() + ".partial")
    {
        std::snprintf(temporaryOutput, sizeof(temporaryOutput), "%s", temporary_.string().c_str());
        std::signal(SIGINT, OnInterrupt);
        std::signal(SIGTERM, OnInterrupt);
#ifdef _WIN32
        file_ = _wfopen(temporary_.c_str(), L"wb");
#else
        file_ = std::fopen(temporary_.c_str(), "wb");
#endif
    }
    ~OutputFile() { Commit(false); }
    FILE* file() const { return file_; }

    // Completes the file when `ok`; false when that fails.
    bool Commit(bool ok)
    {
        if (file_ == nullptr)
            return false;
        ok = std::fflush(file_) == 0 && !std::ferror(file_) && ok;
        std::fclose(file_);
        file_ = nullptr;
        std::error_code ec;
        if (ok) {
#ifndef _WIN32
            const mode_t mask = umask(0);
            umask(mask);
            chmod(temporary_.c_str(), 0755 & ~mask);
#endif
            fs::rename(temporary_, path_, ec);
            ok = !ec;
        }
        if (!ok)
            fs::remove(temporary_, ec);
        temporaryOutput[0] = '\0';
        return ok;
    }

private:
    fs::path path_, temporary_;
    FILE* file_ = nullptr;
};

// ---- Step 4: the writer ---------------------------------------------------

// Writes the entries in order.  A compressed entry's head is written with its
// size unknown and rewritten once its stream is complete, so a large file's
// blocks go to disk as they come; an entry whose stream is no smaller than
// the file is rewritten stored.
class EntryWriter {
public:
    EntryWriter(Sink& sink, int level) : sink_(sink), level_(level), end_(sfx::StubSize) {}

    bool Begin(const Job& job)
    {
        start_ = end_;
        if (!job.compress)
            return WriteStored(job);
        const sfx::Bytes head = sfx::EncodeEntryHead(job.entry, 0);
        splicer_ = std::make_unique<StreamSplicer>(sink_, level_);
        return sink_.Write(head.data(), head.size());
    }

    void Add(const std::vector<Block>& blocks)
    {
        for (const Block& block : blocks)
            splicer_->Add(block);
    }

    // A small file whose stream, or stored bytes, are at hand.
    bool WriteWhole(const Job& job, const Whole& whole)
    {
        start_ = end_;
        sfx::Entry entry = job.entry;
        entry.method = whole.method;
        const sfx::Bytes head = sfx::EncodeEntryHead(entry, (uint32_t)whole.data.size());
        end_ = start_ + head.size() + whole.data.size();
        return sink_.Write(head.data(), head.size()) && sink_.Write(whole.data.data(), whole.data.size());
    }

    bool End(const Job& job)
    {
        if (!job.compress)
            return true;
        uint64_t packed = 0;
        const bool written = splicer_->Finish(&packed);
        splicer_.reset();
        if (!written)
            return false;
        if (job.item->size > 0 && packed >= job.item->size) {
            Job stored = job;
            stored.entry.method = sfx::Stored;
            return sink_.Seek(start_) && WriteStored(stored);
        }
        const sfx::Bytes head = sfx::EncodeEntryHead(job.entry, (uint32_t)packed);
        end_ = start_ + head.size() + packed;
        return sink_.Seek(start_) && sink_.Write(head.data(), head.size()) && sink_.Seek(end_);
    }

    // Cuts off what a stream rewritten stored left behind.
    bool Close() { return sink_.Truncate(end_); }
    uint64_t end() const { return end_; }
    const Problem& problem() const { return problem_; }

private:
    bool WriteStored(const Job& job)
    {
        const sfx::Bytes head = sfx::EncodeEntryHead(job.entry, (uint32_t)job.item->size);
        if (!sink_.Write(head.data(), head.size()))
            return false;
        FILE* in = OpenFile(job.item->source, "rb");
        std::vector<char> buffer(CopyChunk);
        uint64_t copied = 0;
        size_t n;
        bool ok = in != nullptr;
        while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
            copied += n;
            ok = copied <= job.item->size && sink_.Write(buffer.data(), n);
        }
        if (in != nullptr)
            std::fclose(in);
        if (copied != job.item->size) {
            problem_ = {N_("{file}: the file changed while it was packed"), {{"file", job.item->source}}};
            return false;
        }
        end_ = start_ + head.size() + copied;
        return ok;
    }

    Sink& sink_;
    int level_;
    uint64_t start_ = 0, end_;
    std::unique_ptr<StreamSplicer> splicer_;
    Problem problem_{nullptr, {}};
};

// Takes the pieces from the pipeline in order and writes them, reporting
// progress and watching for cancellation between them.
int WriteEntries(const Plan& plan, const Options& options, Sink& sink, PackObserver& observer, uint64_t* end,
                 Reporter& problems)
{
    const unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    Pipeline pipeline(plan.jobs, options.blockSize, options.smallest, threads);
    EntryWriter writer(sink, options.blockSize);
    const auto started = std::chrono::steady_clock::now();
    PackStatus status;
    status.files = plan.jobs.size();
    status.bytes = plan.totalBytes;
    auto report = [&] {
        status.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        observer.Progress(status);
    };
    auto fail = [&](const Problem& problem) {
        problems.Report(problem);
        return ExitInput;
    };
    const Problem writeError{N_("{file}: write error"), {{"file", options.output}}};
    Piece piece;
    bool waiting = false;
    for (auto lastReport = started;;) {
        if (observer.Cancelled())
            return ExitCancelled;
        if (std::chrono::steady_clock::now() - lastReport >= std::chrono::milliseconds(100)) {
            lastReport = std::chrono::steady_clock::now();
            report();
        }
        if (!pipeline.Next(&piece, std::chrono::milliseconds(100), &waiting)) {
            if (waiting)
                continue;
            break;
        }
        if (piece.problem.what != nullptr)
            return fail(piece.problem);
        for (size_t k = 0; k < piece.jobs; k++) {
            const Job& job = plan.jobs[piece.job + k];
            status.current = job.item->dirName + job.item->fileName;
            if (piece.batch) {
                if (!writer.WriteWhole(job, piece.wholes[k]))
                    return fail(writeError);
                sink.Settled(writer.end());
                status.bytesDone += job.item->size;
                status.filesDone++;
                continue;
            }
            if (piece.first && !writer.Begin(job))
                return fail(writer.problem().what == nullptr ? writeError : writer.problem());
            writer.Add(piece.blocks);
            status.bytesDone += piece.sourceBytes;
            if (piece.last) {
                if (!writer.End(job))
                    return fail(writer.problem().what == nullptr ? writeError : writer.problem());
                sink.Settled(writer.end());
                status.filesDone++;
            }
        }
    }
    if (!writer.Close())
        return fail(writeError);
    sink.Settled(writer.end());
    status.finished = true;
    report();
    *end = writer.end();
    return ExitOk;
}

// The stub, then the entries; the size written, in *size.
int WriteFile(const Plan& plan, const Options& options, Sink& sink, PackObserver* observer, uint64_t* size,
              Reporter& report)
{
    PackObserver silent;
    if (!sink.Write(plan.stub.data(), plan.stub.size())) {
        report.Error(N_("{file}: write error"), {{"file", options.output}});
        return ExitInput;
    }
    return WriteEntries(plan, options, sink, observer ? *observer : silent, size, report);
}

// What was left out, and what was packed into what.
void Summary(const Plan& plan, const Options& options, uint64_t size, std::ostream& out)
{
    if (options.quiet)
        return;
    if (options.verbose)
        for (const std::string& path : plan.excluded)
            out << Say(N_("excluded: {path}"), {{"path", path}}) << "\n";
    if (!plan.excluded.empty())
        out << SayCount("{count} file or folder excluded", "{count} files and folders excluded", plan.excluded.size(),
                        {{"count", (uint64_t)plan.excluded.size()}})
            << "\n";
    out << SayCount("{file}: {count} file, {size} packed into {packed}",
                    "{file}: {count} files, {size} packed into {packed}", plan.jobs.size(),
                    {{"file", options.output}, {"count", (uint64_t)plan.jobs.size()}, {"size", plan.totalBytes, Value::Size},
                     {"packed", size, Value::Size}})
        << "\n";
}

}  // namespace

int Pack(const Options& options, const sfx::Bytes& embeddedStub, std::ostream& out, Reporter& report,
         PackObserver* observer)
{
    Plan plan;
    if (!MakePlan(options, embeddedStub, &plan, report))
        return ExitInput;
    OutputFile output(options.output);
    if (output.file() == nullptr) {
        report.Error(N_("{file}: cannot be written"), {{"file", options.output}});
        return ExitInput;
    }
    FileSink sink(output.file());
    uint64_t size = 0;
    const int code = WriteFile(plan, options, sink, observer, &size, report);
    if (!output.Commit(code == ExitOk)) {
        if (code == ExitCancelled)
            return code;
        report.Error(N_("{file} was not written"), {{"file", options.output}});
        return ExitInput;
    }
    Summary(plan, options, size, out);
    return ExitOk;
}

int PackInto(const Options& options, const sfx::Bytes& embeddedStub, Sink& sink, std::ostream& out, Reporter& report,
             PackObserver* observer)
{
    Plan plan;
    if (!MakePlan(options, embeddedStub, &plan, report))
        return ExitInput;
    uint64_t size = 0;
    const int code = WriteFile(plan, options, sink, observer, &size, report);
    if (code == ExitOk)
        Summary(plan, options, size, out);
    return code;
}

}  // namespace pack
