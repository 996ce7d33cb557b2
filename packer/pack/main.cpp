// kvxsfx-pack's entry point: arguments in UTF-8, the carried stub.
#include <cstdlib>
#include <iostream>

#include "pack.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <malloc.h>
#include <unistd.h>
#endif

extern const unsigned char CarriedStub[];
extern const unsigned long CarriedStubSize;

#ifdef _WIN32
// The console's output code page, given back as it was when the packer ends,
// however it ends: the packer writes UTF-8, the shell after it may not.
static UINT consoleCodePage;
static void RestoreConsoleCodePage()
{
    SetConsoleOutputCP(consoleCodePage);
}
// Ctrl+C ends the process without the C runtime's exit handlers.
static BOOL WINAPI RestoreOnInterrupt(DWORD)
{
    RestoreConsoleCodePage();
    return FALSE;  // and the default handler ends the process
}
#endif

int main(int argc, char** argv)
{
    std::vector<std::string> args;
#ifdef _WIN32
    // The ANSI arguments could not hold every name: take the wide ones.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; i < count; i++) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, NULL, 0, NULL, NULL);
        std::string s(n > 0 ? n - 1 : 0, '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &s[0], n, NULL, NULL);
        args.push_back(s);
    }
    LocalFree(wide);
    (void)argc;
    (void)argv;
    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage != 0 && consoleCodePage != CP_UTF8) {
        SetConsoleOutputCP(CP_UTF8);  // the packer writes UTF-8
        std::atexit(RestoreConsoleCodePage);
        SetConsoleCtrlHandler(RestoreOnInterrupt, TRUE);
    }
    pack::ChooseLanguage({});
#else
    args.assign(argv + 1, argv + argc);
    // Every block compressed allocates and frees some megabytes (libbzip2's
    // state, the block sorter's arrays): kept in the heap for the next block
    // instead of mapped and unmapped each time, which cost 10 % of the time
    // with two threads.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // The catalogue installed beside the program (PREFIX/share/locale), or
    // the copy beside it in the build tree (dist/locale).
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    const std::string dir = n > 0 ? std::string(self, n).substr(0, std::string(self, n).rfind('/')) : ".";
    pack::ChooseLanguage({dir + "/../share/locale", dir + "/locale"});
#endif
    const sfx::Bytes stub(CarriedStub, CarriedStub + CarriedStubSize);
    return pack::Main(args, stub, std::cout, std::cerr);
}
