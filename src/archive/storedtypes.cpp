// The extensions of archive formats whose data a method-0 entry carries
// unchanged; every other method-0 entry holds a bzip2 stream.  A builder must
// apply the same list and test.
#include "archive.h"
#include "../fs/fs.h"

const char* const StoredTypeList[] = {
    ".ARC", ".ARJ", ".BZ2", ".KVX", ".CAB", ".GZ",  ".MVX", ".LZH", ".LZS",
    ".PAK", ".RAR", ".TAZ", ".TBZ", ".TGZ", ".Z",   ".ZIP", ".ZOO", "",
};

int IsStoredType(const char* path)
{
    const char* extension = FindExtension(path);
    if (extension == NULL)
        return 0;
    for (const char* const* type = StoredTypeList; **type != '\0'; type++)
        if (lstrcmpiA(extension, *type) == 0)
            return 1;
    return 0;
}
