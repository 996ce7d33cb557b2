// Packing: validate everything first, then compress on every core with a
// bounded window of files in flight, and write the entries in order into a
// temporary file that is renamed into place only when complete.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include <bzlib.h>

#include "pack.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace pack {
namespace {

const size_t ReadChunk = 1 << 20;
const size_t SpillThreshold = 16 << 20;  // compressed data above this goes to a temporary file
const uint64_t BytesAhead = 48 << 20;    // source bytes the workers may run ahead of the writer
const size_t FilesAhead = 4096;
const uint64_t SizeLimit = 1ULL << 32;   // sizes are 32-bit in the format

FILE* OpenRead(const std::string& utf8)
{
#ifdef _WIN32
    return _wfopen(fs::u8path(utf8).c_str(), L"rb");
#else
    return std::fopen(utf8.c_str(), "rb");
#endif
}

// Where one file's compressed stream collects: memory, or a temporary file
// once it grows large, so memory stays bounded whatever the file sizes.
class Sink {
public:
    ~Sink()
    {
        if (spill_ != nullptr)
            std::fclose(spill_);
    }
    bool Write(const char* data, size_t n)
    {
        if (spill_ == nullptr && memory_.size() + n > SpillThreshold) {
            spill_ = std::tmpfile();
            if (spill_ == nullptr || std::fwrite(memory_.data(), 1, memory_.size(), spill_) != memory_.size())
                return false;
            memory_.clear();
            memory_.shrink_to_fit();
        }
        size_ += n;
        if (spill_ != nullptr)
            return std::fwrite(data, 1, n, spill_) == n;
        memory_.insert(memory_.end(), data, data + n);
        return true;
    }
    uint64_t size() const { return size_; }
    bool CopyTo(FILE* out)
    {
        if (spill_ == nullptr)
            return memory_.empty() || std::fwrite(memory_.data(), 1, memory_.size(), out) == memory_.size();
        std::rewind(spill_);
        std::vector<char> buffer(ReadChunk);
        size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), spill_)) > 0)
            if (std::fwrite(buffer.data(), 1, n, out) != n)
                return false;
        return !std::ferror(spill_);
    }
    void Release()
    {
        memory_.clear();
        memory_.shrink_to_fit();
    }

private:
    std::vector<uint8_t> memory_;
    FILE* spill_ = nullptr;
    uint64_t size_ = 0;
};

struct Job {
    const Item* item = nullptr;
    sfx::Entry entry;  // names in code page 932, sizes, time, method; no data
    bool compress = false;
    Sink packed;
    bool done = false;
    std::string error;
};

// Compresses one file as a single bzip2 stream into the job's sink.
void Compress(Job& job, int blockSize, std::atomic<uint64_t>& bytesRead)
{
    FILE* in = OpenRead(job.item->source);
    if (in == nullptr) {
        job.error = job.item->source + ": cannot be read";
        return;
    }
    bz_stream stream = {};
    if (BZ2_bzCompressInit(&stream, blockSize, 0, 0) != BZ_OK) {
        std::fclose(in);
        job.error = "out of memory";
        return;
    }
    std::vector<char> input(ReadChunk), output(ReadChunk);
    uint64_t total = 0;
    bool ok = true, finished = false;
    while (ok && !finished) {
        const size_t n = std::fread(input.data(), 1, input.size(), in);
        total += n;
        bytesRead += n;
        const int action = n < input.size() ? BZ_FINISH : BZ_RUN;
        stream.next_in = input.data();
        stream.avail_in = (unsigned)n;
        for (;;) {
            stream.next_out = output.data();
            stream.avail_out = (unsigned)output.size();
            const int result = BZ2_bzCompress(&stream, action);
            ok = result == BZ_RUN_OK || result == BZ_FINISH_OK || result == BZ_STREAM_END;
            if (ok && !job.packed.Write(output.data(), output.size() - stream.avail_out))
                ok = false;
            if (!ok || result == BZ_STREAM_END) {
                finished = result == BZ_STREAM_END;
                break;
            }
            if (action == BZ_RUN && stream.avail_in == 0)
                break;
        }
    }
    const bool readFailed = std::ferror(in) != 0;
    std::fclose(in);
    BZ2_bzCompressEnd(&stream);
    if (readFailed)
        job.error = job.item->source + ": read error";
    else if (!ok)
        job.error = "compression failed (out of memory or no room for a temporary file)";
    else if (total != job.item->size)
        job.error = job.item->source + ": the file changed while it was packed";
}

// The temporary output, removed again if the run is interrupted.
char temporaryOutput[4096];

extern "C" void OnInterrupt(int)
{
    if (temporaryOutput[0] != '\0')
        std::remove(temporaryOutput);
    std::_Exit(130);
}

std::string Mib(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", bytes / 1048576.0);
    return text;
}

// Turns the collected items into entries: names in code page 932 and every
// limit checked, before anything is written.
bool PrepareJobs(const Options& options, const std::vector<Item>& items, std::deque<Job>* jobs, std::ostream& err)
{
    bool ok = true;
    auto fail = [&](const std::string& message) {
        err << "kvxsfx-pack: " << message << "\n";
        ok = false;
    };
    for (const Item& item : items) {
        Job& job = jobs->emplace_back();
        job.item = &item;
        std::string dirName = item.dirName;
        std::replace(dirName.begin(), dirName.end(), '/', '\\');
        const std::string shown = item.dirName + item.fileName;
        if (!Utf8ToCp932(dirName, &job.entry.dirName) || !Utf8ToCp932(item.fileName, &job.entry.fileName)) {
            fail(item.source + ": the name " + shown + " has a character that Shift-JIS cannot hold");
            continue;
        }
        const size_t dirLength = job.entry.dirName.size(), fileLength = job.entry.fileName.size();
        const size_t joined = dirLength + fileLength;
        if (dirLength > sfx::MaxNameLength || fileLength > sfx::MaxNameLength) {
            fail(item.source + ": a name of " + std::to_string(std::max(dirLength, fileLength)) +
                 " bytes; at most 259 fit");
        } else if (joined > sfx::MaxNameLength - 3) {
            fail(item.source + ": " + shown + " is " + std::to_string(joined) +
                 " bytes long and would not fit below any destination (at most 256)");
        } else if (joined > 200) {
            err << "kvxsfx-pack: warning: " << shown << " is " << joined
                << " bytes long; below a long destination it may not fit\n";
        }
        if (item.size >= SizeLimit)
            fail(item.source + ": files of 4 GiB or more cannot be carried");
        bool clamped = false;
        ToDosDateTime(item.mtime, &job.entry.dosDate, &job.entry.dosTime, &clamped);
        if (clamped)
            err << "kvxsfx-pack: warning: " << item.source << ": its time lies outside 1980..2107 and was clamped\n";
        job.entry.attributes = item.readOnly ? 0x21 : 0x20;
        job.entry.unpackedSize = (uint32_t)item.size;
        // An empty file still needs data: an entry without any creates nothing.
        job.compress = item.size == 0 || !(options.storeAll || IsStoredTypeName(item.fileName));
        job.entry.method = job.compress ? sfx::Bzip2 : sfx::Stored;
    }
    return ok;
}

bool SameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return fs::equivalent(fs::u8path(a), fs::u8path(b), ec);
}

}  // namespace

int Pack(const Options& options, const sfx::Bytes& embeddedStub, std::ostream& out, std::ostream& err)
{
    // Everything that can be wrong is found before anything is written.
    sfx::Bytes stub = embeddedStub;
    std::string error;
    if (!options.stubPath.empty() && !sfx::ReadWholeFile(options.stubPath, &stub)) {
        err << "kvxsfx-pack: " << options.stubPath << ": cannot be read\n";
        return ExitInput;
    }
    sfx::CertificateDirectory signature;
    if (sfx::FindCertificateDirectory(stub.data(), std::min<size_t>(stub.size(), 4096), &signature)) {
        err << "kvxsfx-pack: " << options.stubPath << ": the stub is signed, and packing would break its signature; "
            << "sign the finished file, not the stub\n";
        return ExitInput;
    }
    if (!sfx::CheckStub(stub, &error)) {
        err << "kvxsfx-pack: " << (options.stubPath.empty() ? "the carried stub" : options.stubPath) << ": " << error << "\n";
        return ExitInput;
    }
    sfx::Config config;
    std::string* fields[] = {&config.title, &config.message, &config.destination, &config.launch};
    const std::string* values[] = {&options.title, &options.message, &options.destination, &options.launch};
    const char* names[] = {"--title", "--message", "--dest", "--launch"};
    bool ok = true;
    for (int i = 0; i < 4; i++) {
        if (!Utf8ToCp932(*values[i], fields[i])) {
            err << "kvxsfx-pack: " << names[i] << " has a character that Shift-JIS cannot hold\n";
            ok = false;
        } else if (fields[i]->size() > 255) {
            err << "kvxsfx-pack: " << names[i] << " is " << fields[i]->size() << " bytes in Shift-JIS; at most 255 fit\n";
            ok = false;
        }
    }
    std::vector<Item> items;
    ok = CollectInputs(options, &items, err) && ok;
    for (const Item& item : items) {
        if (SameFile(item.source, options.output)) {
            err << "kvxsfx-pack: the output " << options.output << " is also an input\n";
            ok = false;
        }
    }
    std::deque<Job> jobs;
    ok = PrepareJobs(options, items, &jobs, err) && ok;
    if (!ok)
        return ExitInput;
    if (items.empty())
        err << "kvxsfx-pack: warning: no files to carry\n";

    // The output goes to a temporary file beside it, renamed when complete.
    const fs::path output = fs::u8path(options.output);
    const fs::path temporary = output.string() + ".partial";
    std::snprintf(temporaryOutput, sizeof(temporaryOutput), "%s", temporary.string().c_str());
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#ifdef _WIN32
    FILE* file = _wfopen(temporary.c_str(), L"wb");
#else
    FILE* file = std::fopen(temporary.c_str(), "wb");
#endif
    if (file == nullptr) {
        err << "kvxsfx-pack: " << options.output << ": cannot be written\n";
        return ExitInput;
    }
    if (!sfx::WriteConfigBlock(stub, config, &error) || std::fwrite(stub.data(), 1, stub.size(), file) != stub.size())
        ok = false;

    // Workers take the files in order and may run ahead of the writer by a
    // bounded number of source bytes (one larger file is taken only when it is
    // the next to be written), so memory stays bounded while a large file
    // does not hold up the small ones behind it.
    const unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0, written = 0;
    uint64_t ahead = 0;  // source bytes of the files taken but not yet written
    auto mayTake = [&] {
        return next == written ||
               (next < written + FilesAhead && ahead + jobs[next].item->size <= BytesAhead);
    };
    bool stop = false;
    std::atomic<uint64_t> bytesRead{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; t++) {
        workers.emplace_back([&] {
            for (;;) {
                size_t index;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return stop || next >= jobs.size() || mayTake(); });
                    if (stop || next >= jobs.size())
                        return;
                    ahead += jobs[next].item->size;
                    index = next++;
                }
                Job& job = jobs[index];
                if (job.compress)
                    Compress(job, options.blockSize, bytesRead);
                else
                    bytesRead += job.item->size;
                std::lock_guard<std::mutex> lock(mutex);
                job.done = true;
                changed.notify_all();
            }
        });
    }

    const auto started = std::chrono::steady_clock::now();
    auto lastDrawn = started - std::chrono::seconds(1);
    uint64_t totalBytes = 0;
    for (const Item& item : items)
        totalBytes += item.size;
    auto draw = [&](bool final) {
        if (!options.progress)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - lastDrawn < std::chrono::milliseconds(100))
            return;
        lastDrawn = now;
        const double seconds = std::chrono::duration<double>(now - started).count();
        const uint64_t bytes = bytesRead;
        err << "\r  " << written << "/" << jobs.size() << " files  " << Mib(bytes) << "/" << Mib(totalBytes)
            << " MiB  " << Mib(seconds > 0 ? (uint64_t)(bytes / seconds) : 0) << " MiB/s   " << (final ? "\n" : "")
            << std::flush;
    };

    std::vector<char> buffer(ReadChunk);
    uint64_t packedTotal = 0;
    for (size_t i = 0; ok && i < jobs.size(); i++) {
        Job& job = jobs[i];
        {
            std::unique_lock<std::mutex> lock(mutex);
            while (!job.done) {
                changed.wait_for(lock, std::chrono::milliseconds(100));
                lock.unlock();
                draw(false);
                lock.lock();
            }
        }
        if (!job.error.empty()) {
            err << "kvxsfx-pack: " << job.error << "\n";
            ok = false;
            break;
        }
        // Compression that does not make a file smaller stores it instead.
        if (job.compress && job.item->size > 0 && job.packed.size() >= job.item->size) {
            job.compress = false;
            job.entry.method = sfx::Stored;
        }
        const uint64_t packedSize = job.compress ? job.packed.size() : job.item->size;
        const sfx::Bytes head = sfx::EncodeEntryHead(job.entry, (uint32_t)packedSize);
        ok = std::fwrite(head.data(), 1, head.size(), file) == head.size();
        if (ok && job.compress) {
            ok = job.packed.CopyTo(file);
        } else if (ok) {
            FILE* in = OpenRead(job.item->source);
            uint64_t copied = 0;
            size_t n;
            while (in != nullptr && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0 && ok) {
                copied += n;
                ok = copied <= packedSize && std::fwrite(buffer.data(), 1, n, file) == n;
            }
            if (in == nullptr || copied != packedSize) {
                err << "kvxsfx-pack: " << job.item->source << ": the file changed while it was packed\n";
                ok = false;
            }
            if (in != nullptr)
                std::fclose(in);
        }
        packedTotal += head.size() + packedSize;
        job.packed.Release();
        std::lock_guard<std::mutex> lock(mutex);
        written = i + 1;
        ahead -= job.item->size;
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& worker : workers)
        worker.join();
    draw(true);

    if (std::fflush(file) != 0 || std::ferror(file))
        ok = false;
    std::fclose(file);
    std::error_code ec;
    if (ok) {
#ifndef _WIN32
        chmod(temporary.c_str(), 0755 & ~[] { mode_t m = umask(0); umask(m); return m; }());
#endif
        fs::rename(temporary, output, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(temporary, ec);
        temporaryOutput[0] = '\0';
        err << "kvxsfx-pack: " << options.output << " was not written\n";
        return ExitInput;
    }
    temporaryOutput[0] = '\0';
    if (!options.quiet)
        out << options.output << ": " << jobs.size() << " files, " << Mib(totalBytes) << " MiB packed into "
            << Mib(stub.size() + packedTotal) << " MiB\n";
    return ExitOk;
}

}  // namespace pack
