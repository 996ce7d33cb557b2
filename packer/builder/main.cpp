// kvxsfx-builder's entry point: the files and folders it was started with
// (what Explorer passes when they are dropped on its icon), and the stub it
// carries.
#include <windows.h>
#include <shellapi.h>

#include "builder.h"

extern const unsigned char CarriedStub[];
extern const unsigned long CarriedStubSize;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> inputs;
    for (int i = 1; i < count; i++)
        inputs.push_back(args[i]);
    LocalFree(args);
    const sfx::Bytes stub(CarriedStub, CarriedStub + CarriedStubSize);
    return RunBuilder(instance, inputs, stub);
}
