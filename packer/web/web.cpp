// The engine of the page that packs in a browser: the packer's own library,
// compiled to WebAssembly and run in a Web Worker (worker.js).  The worker
// mounts the chosen files at /in, puts the icon at /icon, and calls kvx_pack
// with the fields.  The file comes back to the page in parts of a few
// megabytes (kvx_part), with progress about ten times a second and every
// problem in the packer's own words, in the page's language.  A
// self-extracting file the page opens is read by the packer's own reader
// (kvx_list, kvx_test, kvx_extract), the file mounted in the worker as a Blob.
#include <emscripten.h>

#include <cstdlib>
#include <sstream>

#include <nlohmann/json.hpp>

#include "bzsplice.h"
#include "pack.h"
#include "pipeline.h"

extern const unsigned char CarriedStub[];
extern const unsigned long CarriedStubSize;

// Hands bytes of the file to the page as a Blob: the browser keeps its bytes,
// and neither the worker nor the page is left with an array to collect.
EM_JS(void, kvx_part, (const uint8_t* data, size_t n), {
    postMessage({part : new Blob([HEAPU8.subarray(data, data + n)])});
});
// The files a batch is about to read, their paths joined by zero bytes: the
// worker reads them in one go (worker.js).
EM_JS(void, kvx_read_ahead, (const char* paths, size_t size), {
    kvxReadAhead(new TextDecoder().decode(HEAPU8.subarray(paths, paths + size)).split(String.fromCharCode(0)));
});
EM_JS(void, kvx_progress, (double bytesDone, double bytes, const char* text), {
    postMessage({progress : {bytesDone, bytes, text : UTF8ToString(text)}});
});
EM_JS(void, kvx_say, (const char* text, int kind), {
    postMessage({say : UTF8ToString(text), kind : [ "problem", "warning", "summary" ][kind]});
});
// An opened file's listing, as one JSON document.
EM_JS(void, kvx_listing, (const char* json, size_t n), {
    postMessage({listing : new TextDecoder().decode(HEAPU8.subarray(json, json + n))});
});
// An extracted entry, a piece at a time, to the worker's folder or .zip
// (worker.js): its path with its DOS date and time as the file holds them
// (a time_t here is 32 bits), whether the file carries it compressed and
// whether its data has checked out whole already, its bytes, and its end,
// whole and of its size or not.
EM_JS(void, kvx_entry_open, (const char* path, int dosDate, int dosTime, int compressed, int checked), {
    kvxEntryOpen(UTF8ToString(path), dosDate, dosTime, !!compressed, !!checked);
});
EM_JS(void, kvx_entry_write, (const char* data, size_t n), { kvxEntryWrite(HEAPU8.slice(data, data + n)); });
EM_JS(void, kvx_entry_close, (int whole), { kvxEntryClose(!!whole); });

namespace {

// Keeps what is written from the entry in hand on; hands complete entries to
// the page once they come to PartBytes, so at most the largest entry and
// PartBytes are held here.  Few large parts: each Blob costs the browser
// bookkeeping, and thousands of small files would make thousands of them.
class PartSink : public pack::Sink {
public:
    bool Write(const void* data, size_t n) override
    {
        const size_t at = (size_t)(position_ - base_);
        if (held_.size() < at + n)
            held_.resize(at + n);
        std::memcpy(held_.data() + at, data, n);
        position_ += n;
        return true;
    }
    bool Seek(uint64_t offset) override
    {
        position_ = offset;
        return offset >= base_;
    }
    bool Truncate(uint64_t size) override
    {
        if (size < base_)
            return false;
        held_.resize((size_t)(size - base_));
        return true;
    }
    void Settled(uint64_t offset) override
    {
        const size_t n = (size_t)std::min<uint64_t>(offset - base_, held_.size());
        if (n >= PartBytes)
            Hand(n);
    }
    // Hands what is left, once the file is complete.
    void Finish()
    {
        Hand(held_.size());
    }

private:
    static constexpr size_t PartBytes = 4 << 20;

    void Hand(size_t n)
    {
        if (n == 0)
            return;
        kvx_part(held_.data(), n);
        held_.erase(held_.begin(), held_.begin() + n);
        base_ += n;
    }

    std::vector<uint8_t> held_;
    uint64_t base_ = 0, position_ = 0;
};

class PageObserver : public pack::PackObserver {
public:
    // The command line's progress line, in the same words.
    void Progress(const pack::PackStatus& s) override
    {
        const uint64_t speed = s.seconds > 0 ? (uint64_t)(s.bytesDone / s.seconds) : 0;
        const std::string text = pack::Say(N_("{done}/{files} files  {bytes} of {total}  {speed}/s"),
                                           {{"done", (uint64_t)s.filesDone}, {"files", (uint64_t)s.files},
                                            {"bytes", s.bytesDone, pack::Value::Size},
                                            {"total", s.bytes, pack::Value::Size}, {"speed", speed, pack::Value::Size}});
        kvx_progress((double)s.bytesDone, (double)s.bytes, text.c_str());
    }
};

class PageReporter : public pack::Reporter {
public:
    void Report(const pack::Problem& problem) override
    {
        kvx_say(pack::Render(problem).c_str(), problem.warning ? 1 : 0);
    }
};

void ReadAhead(const std::vector<std::string>& paths)
{
    std::string joined;
    for (const std::string& path : paths)
        (joined.empty() ? joined : joined.append(1, '\0')).append(path);
    kvx_read_ahead(joined.data(), joined.size());
}

// The file offset reached, about ten times a second, for the progress bar.
pack::ReadProgress Progress()
{
    return [last = 0.0](uint64_t offset) mutable {
        const double now = emscripten_get_now();
        if (now - last >= 100) {
            last = now;
            kvx_progress((double)offset, 0, "");
        }
    };
}

// Extracted entries go to the worker, which writes them into the folder the
// user picked or into the .zip.
// The .zip takes no bytes back: an entry goes into it only once its data has
// checked out whole, held in the worker up to HeldBytes (worker.js), and
// checked whole before it is extracted when it is larger (decoded twice).
class PageTarget : public pack::ExtractTarget {
public:
    explicit PageTarget(bool zip) : zip_(zip) {}
    std::string Where() const override { return pack::Tr(N_("the folder")); }
    bool CheckFirst(uint64_t unpackedSize, bool) const override
    {
        return checked_ = zip_ && unpackedSize > HeldBytes;
    }
    void Dated(uint16_t dosDate, uint16_t dosTime) override
    {
        dosDate_ = dosDate;
        dosTime_ = dosTime;
    }
    bool Open(const std::string& relative, const std::time_t*, bool compressed, pack::Reporter&) override
    {
        kvx_entry_open(relative.c_str(), dosDate_, dosTime_, compressed, checked_);
        return true;
    }
    bool Write(const char* data, size_t n) override
    {
        kvx_entry_write(data, n);
        return true;
    }
    bool Close(bool whole, bool sizeRight) override
    {
        kvx_entry_close(whole && sizeRight);
        return true;
    }

private:
    static constexpr uint64_t HeldBytes = 16 << 20;
    bool zip_;
    mutable bool checked_ = false;  // the entry in hand's data has checked out whole
    uint16_t dosDate_ = 0, dosTime_ = 0;
};

std::string Field(const nlohmann::json& fields, const char* name)
{
    return fields.contains(name) && fields[name].is_string() ? fields[name].get<std::string>() : std::string();
}

}  // namespace

// Packs what the fields say: {"inputs": [...], "output", "title", "message",
// "destination", "launch", "icon", "excludes": [...], "smallest", "level",
// "sourceDateEpoch"}.  Returns the packer's exit code.
extern "C" EMSCRIPTEN_KEEPALIVE int kvx_pack(const char* json)
{
    const nlohmann::json fields = nlohmann::json::parse(json, nullptr, false);
    if (fields.is_discarded())
        return pack::ExitUsage;
    pack::Options options;
    options.output = Field(fields, "output");
    options.title = Field(fields, "title");
    options.message = Field(fields, "message");
    options.destination = Field(fields, "destination");
    options.launch = Field(fields, "launch");
    options.iconPath = Field(fields, "icon");
    for (const auto& input : fields.value("inputs", nlohmann::json::array()))
        options.inputs.push_back(input.get<std::string>());
    for (const auto& pattern : fields.value("excludes", nlohmann::json::array()))
        options.excludes.push_back(pattern.get<std::string>());
    options.smallest = fields.value("smallest", false);
    options.blockSize = fields.value("level", 9);
    options.threads = 1;  // no threads in a page that is not cross-origin isolated
    pack::BatchReadAhead = ReadAhead;
    PageReporter report;
    const std::string epoch = Field(fields, "sourceDateEpoch");
    if (epoch.empty())
        unsetenv("SOURCE_DATE_EPOCH");
    else
        setenv("SOURCE_DATE_EPOCH", epoch.c_str(), 1);
    if (!pack::ReadSourceDateEpoch(&options, report))
        return pack::ExitUsage;
    PartSink sink;
    PageObserver observer;
    std::ostringstream summary;
    const sfx::Bytes stub(CarriedStub, CarriedStub + CarriedStubSize);
    const int code = pack::PackInto(options, stub, sink, summary, report, &observer);
    if (code == pack::ExitOk) {
        sink.Finish();
        kvx_say(summary.str().c_str(), 2);
    }
    return code;
}

// The page's own texts, and the packer's, in the page's language.
extern "C" EMSCRIPTEN_KEEPALIVE void kvx_use_japanese()
{
    pack::UseJapanese();
}

// ---- Opening a self-extracting file ----------------------------------------
// The worker mounts the chosen file in the current folder; `name` is its name.

// Lists it: the listing as list --json makes it, without reading the entries'
// data, or none when it is not a self-extracting file.  Returns the exit
// code; the problem, if any, is in the listing too.
extern "C" EMSCRIPTEN_KEEPALIVE int kvx_list(const char* name)
{
    PageReporter report;
    std::ostringstream listing;
    const sfx::Bytes stub(CarriedStub, CarriedStub + CarriedStubSize);
    const int code = pack::ListJson(name, stub, listing, report, false);
    const std::string text = listing.str();
    if (!text.empty())
        kvx_listing(text.data(), text.size());
    return code;
}

// Decodes and checks every entry as `kvxsfx-pack test` does.
extern "C" EMSCRIPTEN_KEEPALIVE int kvx_test(const char* name)
{
    PageReporter report;
    std::ostringstream summary;
    const int code = pack::Test(name, summary, report, Progress());
    if (code == pack::ExitOk)
        kvx_say(summary.str().c_str(), 2);
    return code;
}

// Extracts every entry to the worker, as the stub would, up to the first
// entry that does not check out.
extern "C" EMSCRIPTEN_KEEPALIVE int kvx_extract(const char* name, int zip)
{
    PageReporter report;
    std::ostringstream extracted;
    PageTarget target(zip != 0);
    return pack::ExtractInto(name, target, extracted, report, Progress());
}
