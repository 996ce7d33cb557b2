// Path utilities and directory creation, double-byte aware.  Every operation
// works in place on the caller's string, or on a fixed local copy.
#include "fs.h"

#include <shlobj.h>

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

static int IsDriveRoot(const char* path)
{
    return lstrlenA(path) == 3 && path[1] == ':' && path[2] == '\\';
}

int CharDiffers(const char* position, WORD target)
{
    const BYTE first = (BYTE)position[0];
    if (first != LOBYTE(target))
        return 1;
    if (IsDBCSLeadByte(first))
        return (BYTE)position[1] != HIBYTE(target);
    return 0;
}

char* FindChar(const char* text, WORD target)
{
    for (; *text; text = CharNextA(text))
        if (!CharDiffers(text, target))
            return (char*)text;
    return NULL;
}

char* AddTrailingBackslash(char* path)
{
    if (path == NULL)
        return NULL;
    if (*path == '\0')
        return path;
    const int length = lstrlenA(path);
    if (length >= MAX_PATH - 1)
        return NULL;
    char* end = path + length;
    if (*CharPrevA(path, end) == '\\')
        return end;
    end[0] = '\\';
    end[1] = '\0';
    return end + 1;
}

int PathExists(const char* path)
{
    if (path == NULL || *path == '\0')
        return 0;
    if (IsDriveRoot(path))
        return 1;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(search);
    return 1;
}

char* FindExtension(const char* path)
{
    if (path == NULL || *path == '\0')
        return NULL;
    const char* candidate = NULL;
    const char* p = path;
    for (; *p; p = CharNextA(p)) {
        if (*p == '.')
            candidate = p;
        else if (*p == ' ' || IsSeparator(*p))
            candidate = NULL;
    }
    return (char*)(candidate ? candidate : p);
}

char* FindFileName(const char* path)
{
    if (path == NULL || *path == '\0')
        return NULL;
    const char* name = path;
    for (const char* p = path; *p; p = CharNextA(p))
        if (IsSeparator(*p) || *p == ':')
            name = p + 1;
    return (char*)name;
}

int IsUncPrefix(const char* path)
{
    return path != NULL && IsSeparator(path[0]) && IsSeparator(path[1]);
}

int StripFileName(char* path)
{
    if (path == NULL || *path == '\0')
        return 0;
    char* cut = path;
    for (char* p = path; *p; p = CharNextA(p)) {
        if (*p == '\\') {
            cut = p;
        } else if (*p == ':') {
            cut = p + 1;
            if (p[1] == '\\')
                cut = ++p + 1;  // keep a drive root's backslash; scan on behind it
        }
    }
    if (*cut == '\0')
        return 0;
    if (cut == path && *cut == '\\') {
        if (path[1] == '\0')
            return 0;
        path[1] = '\0';
        return 1;
    }
    *cut = '\0';
    return 1;
}

char* ConvertSlashes(char* text)
{
    if (text == NULL)
        return NULL;
    char* p = text;
    for (; *p; p = CharNextA(p))
        if (*p == '/')
            *p = '\\';
    return p;
}

char* SkipPathRoot(const char* path)
{
    if (path == NULL || *path == '\0')
        return NULL;
    if (!IsDBCSLeadByte((BYTE)path[0]) && path[1] == ':' && path[2] == '\\')
        return (char*)path + 3;
    if (IsUncPrefix(path)) {
        // Behind "\\": the server, then the share, each closed by a backslash.
        const char* root = path + 2;
        int found = 0;
        for (const char* p = root; *p && found < 2; p = CharNextA(p)) {
            if (*p == '\\') {
                root = p + 1;
                found++;
            }
        }
        return (char*)root;
    }
    if (path[0] == '\\')
        return (char*)path + 1;
    return (char*)path;
}

int EnsureDirectory(char* directory)
{
    if (IsDriveRoot(directory))
        return 1;
    char* last = directory + lstrlenA(directory) - 1;  // the closing backslash
    *last = '\0';
    int exists;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(directory, &found);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        exists = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } else {
        exists = CreateDirectoryA(directory, NULL);
        if (exists)
            SHChangeNotify(SHCNE_MKDIR, SHCNF_PATHA, directory, NULL);
    }
    *last = '\\';
    return exists;
}

int CreateDirectoryChain(const char* path)
{
    // A path that could not take its closing backslash within MAX_PATH is
    // refused outright rather than half created.
    if (path == NULL || *path == '\0' || lstrlenA(path) >= MAX_PATH - 1)
        return 0;
    char copy[264];
    lstrcpyA(copy, path);
    ConvertSlashes(copy);
    AddTrailingBackslash(copy);
    // Each prefix that ends at a backslash behind the root, shortest first.
    for (char* p = SkipPathRoot(copy); (p = FindChar(p, '\\')) != NULL; p++) {
        const char kept = p[1];
        p[1] = '\0';
        const int ok = EnsureDirectory(copy);
        p[1] = kept;
        if (!ok)
            return 0;
    }
    return 1;
}

// Compares the first `count` bytes with an upper-case ASCII word, ignoring case.
static int MatchesWord(const char* text, const char* word, int count)
{
    for (int i = 0; i < count; i++) {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
        if (c != word[i])
            return 0;
    }
    return 1;
}

static int IsDeviceName(const char* component, const char* end)
{
    // Windows matches the part before the first dot, without trailing spaces.
    const char* stop = component;
    while (stop < end && *stop != '.')
        stop++;
    while (stop > component && stop[-1] == ' ')
        stop--;
    const int length = (int)(stop - component);
    if (length == 3)
        return MatchesWord(component, "CON", 3) || MatchesWord(component, "PRN", 3) ||
               MatchesWord(component, "AUX", 3) || MatchesWord(component, "NUL", 3);
    if (length == 4 && component[3] >= '1' && component[3] <= '9')
        return MatchesWord(component, "COM", 3) || MatchesWord(component, "LPT", 3);
    return 0;
}

int IsContainedPath(const char* relative)
{
    if (IsSeparator(relative[0]))
        return 0;
    const char* component = relative;
    int onlyDotsAndSpaces = 1;
    for (const char* p = relative;; p = CharNextA(p)) {
        if (*p == '\0' || IsSeparator(*p)) {
            if (p > component && (onlyDotsAndSpaces || IsDeviceName(component, p)))
                return 0;
            if (*p == '\0')
                return 1;
            component = p + 1;
            onlyDotsAndSpaces = 1;
        } else if (*p == ':') {
            return 0;
        } else if (*p != '.' && *p != ' ') {
            onlyDotsAndSpaces = 0;
        }
    }
}
