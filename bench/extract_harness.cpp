// Runs the stub's own extraction code on a self-extracting file and reports
// the time ExtractAll took and the process's memory.
//   extract_harness SFX DESTDIR [--progress]
#include <windows.h>

#include <psapi.h>

#include <cstdio>

#include "app/app.h"
#include "driver.h"
#include "archive/archive.h"
#include "fs/fs.h"
#include "ui/ui.h"

// libbzip2 allocates through msvcrt's malloc; our own code allocates nothing
// after start-up.  Counting malloc's outstanding bytes separates the two.
static SIZE_T outstanding, peakOutstanding;
static void* (*realMalloc)(size_t);
static void (*realFree)(void*);
static size_t (*realMsize)(void*);

static void* CountingMalloc(size_t size)
{
    void* p = realMalloc(size);
    if (p != NULL && (outstanding += realMsize(p)) > peakOutstanding)
        peakOutstanding = outstanding;
    return p;
}

static void CountingFree(void* p)
{
    if (p != NULL)
        outstanding -= realMsize(p);
    realFree(p);
}

static SIZE_T PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: extract_harness SFX DESTDIR [--progress]\n");
        return 2;
    }
    const SIZE_T before = PeakWorkingSet();
    if (!AllocateBuffers())
        return 1;
    lstrcpyA(ModulePath, argv[1]);
    lstrcpyA(DestinationDir, argv[2]);
    AddTrailingBackslash(DestinationDir);
    GetTempPathA(MAX_PATH, StagingPath);
    lstrcatA(StagingPath, "Qel00tmp.tmp");
    if (argc > 3)
        OpenProgressWindow();

    realMsize = (size_t(*)(void*))GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_msize");
    realMalloc = (void* (*)(size_t))PatchImport("msvcrt.dll", "malloc", (void*)CountingMalloc);
    realFree = (void (*)(void*))PatchImport("msvcrt.dll", "free", (void*)CountingFree);
    const SIZE_T ready = PeakWorkingSet();

    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const int ok = ExtractAll();
    QueryPerformanceCounter(&stop);
    CloseProgressWindow();
    const SIZE_T peak = PeakWorkingSet();
    FreeBuffers();

    std::printf("ok=%d seconds=%.3f peak_working_set_kib=%lu start_working_set_kib=%lu ready_working_set_kib=%lu "
                "bzip2_peak_kib=%lu\n",
                ok, (double)(stop.QuadPart - start.QuadPart) / frequency.QuadPart, (unsigned long)(peak / 1024),
                (unsigned long)(before / 1024), (unsigned long)(ready / 1024), (unsigned long)(peakOutstanding / 1024));
    return ok ? 0 : 1;
}
