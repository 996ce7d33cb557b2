// Helpers shared by the tests that run under Wine.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "driver.h"
#include "sfxwriter.h"

// A fresh, empty directory under the temporary directory; ends with a backslash.
std::string MakeTempDir(const char* tag);
void RemoveTree(const std::string& path);

bool FileExists(const std::string& path);
sfx::Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const sfx::Bytes& bytes);

// A stand-in for the stub: 53,248 bytes that begin like an executable and
// keep the configuration area free.
sfx::Bytes FakeStub();
// The real stub, as built.
sfx::Bytes RealStub();

// Allocates the process-wide buffers for one test and releases them after.
struct BufferScope {
    BufferScope();
    ~BufferScope();
};


// Patches an import for the lifetime of the object.
class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    void* original() const { return original_; }

private:
    const char* dll_;
    const char* function_;
    void* original_;
};

// Saves what the screen shows inside `window` as a 24-bit BMP under the test
// artefacts directory; returns the file's path.
std::string SaveScreenshot(HWND window, const char* name);

// Lets pending messages of this thread be handled for about `ms` milliseconds.
void PumpMessages(DWORD ms);
