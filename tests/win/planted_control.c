/* The planted-DLL test's positive control: from beside the planted DLLs it
   loads each name given, by its bare name, as a careless program would; each
   planted DLL must then record being loaded.  Only so does "none loaded" for
   the self-extracting file mean anything. */
#include <windows.h>

int main(int argc, char** argv)
{
    int i;
    for (i = 1; i < argc; i++)
        LoadLibraryA(argv[i]);
    return 0;
}
