// The Win32 calls of the stub's extraction code over POSIX files, code page
// 932 for the character functions.  Test-only.  Paths: single-byte
// backslashes become slashes; a trail byte 0x5C of a double-byte character
// stays part of its name, as it does on Windows.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commctrl.h"
#include "shlobj.h"
#include "windows.h"

namespace {

std::string destination;  // empty: no file may be changed
std::string staging;      // the one file outside it that may change

struct File {
    int fd;
};

std::string ToUnix(LPCSTR path)
{
    std::string out;
    for (const char* p = path; *p;) {
        const char* next = CharNextA(p);
        if (next - p == 1 && *p == '\\')
            out += '/';
        else
            out.append(p, next);
        p = next;
    }
    return out;
}

// The path with "." and ".." resolved as the kernel would, absolute.
std::string Lexical(const std::string& path)
{
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[4096];
        full = std::string(getcwd(cwd, sizeof(cwd)) ? cwd : "/") + "/" + full;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos)
            end = full.size();
        const std::string c = full.substr(start, end - start);
        if (c == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& c : parts)
        out += "/" + c;
    return out.empty() ? "/" : out;
}

[[noreturn]] void Escape(const char* why, const std::string& name)
{
    std::fprintf(stderr, "shim: %s: %s\n", why, name.c_str());
    std::abort();
}

bool IsDevice(std::string component)
{
    component = component.substr(0, component.find('.'));
    while (!component.empty() && component.back() == ' ')
        component.pop_back();
    for (char& c : component)
        c = (char)toupper((unsigned char)c);
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* d : devices)
        if (component == d)
            return true;
    return component.size() == 4 && (component.compare(0, 3, "COM") == 0 || component.compare(0, 3, "LPT") == 0) &&
           component[3] >= '1' && component[3] <= '9';
}

// The file Windows would change for `name`, as a POSIX path: separators of
// both kinds, trailing dots and spaces of each component folded away.  Forms
// this layer cannot model (drives, UNC and device paths, streams, device
// names, components Windows would fold to nothing) are escapes.
std::string AsWindowsWould(LPCSTR name)
{
    const std::string path = ToUnix(name);
    if (path.compare(0, 2, "//") == 0)
        Escape("a UNC, \\\\?\\ or \\\\.\\ path", name);
    if (path.find(':') != std::string::npos)
        Escape("a drive or an alternate stream", name);
    std::string folded;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string c = path.substr(start, end - start);
        if (c != "." && c != "..") {
            while (!c.empty() && (c.back() == '.' || c.back() == ' '))
                c.pop_back();
            if (c.empty() && end > start)
                Escape("a component Windows folds away", name);
            if (IsDevice(c))
                Escape("a device name", name);
        }
        folded += (start == 0 ? "" : "/") + c;
        start = end + 1;
    }
    return folded;
}

// A change is allowed to the destination, below it, and to the staging file;
// anywhere else it is a finding.
bool MayChange(LPCSTR name)
{
    if (destination.empty())
        return false;
    const std::string where = Lexical(AsWindowsWould(name));
    if (where != destination && where.compare(0, destination.size() + 1, destination + "/") != 0 && where != staging)
        Escape("a change outside the destination", where);
    return true;
}

// The POSIX file a name reaches: as Windows would fold it while a boundary is
// set (extraction), as written otherwise (the path functions' own fuzzing).
std::string Target(LPCSTR name) { return destination.empty() ? ToUnix(name) : AsWindowsWould(name); }

bool IsDirectory(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void ShimSetBoundary(const char* dest, const char* stagingFile)
{
    destination = (dest && *dest) ? Lexical(ToUnix(dest)) : "";
    staging = (stagingFile && *stagingFile) ? Lexical(ToUnix(stagingFile)) : "";
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition, DWORD, HANDLE)
{
    const std::string path = Target(name);
    int flags = (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
    if (access & GENERIC_WRITE) {
        if (!MayChange(name))
            return INVALID_HANDLE_VALUE;
        if (disposition == CREATE_ALWAYS)
            flags |= O_CREAT | O_TRUNC;
    }
    const int fd = open(path.c_str(), flags | O_NOFOLLOW, 0644);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    if (IsDirectory(fd)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return new File{fd};
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD n, LPDWORD done, void*)
{
    *done = 0;
    while (*done < n) {
        const ssize_t got = read(((File*)h)->fd, (char*)buffer + *done, n - *done);
        if (got < 0)
            return FALSE;
        if (got == 0)
            break;
        *done += (DWORD)got;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD done, void*)
{
    *done = 0;
    while (*done < n) {
        const ssize_t put = write(((File*)h)->fd, (const char*)data + *done, n - *done);
        if (put <= 0)
            return FALSE;
        *done += (DWORD)put;
    }
    return TRUE;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG*, DWORD method)
{
    const off_t at = lseek(((File*)h)->fd, distance, method == FILE_BEGIN ? SEEK_SET : method == 1 ? SEEK_CUR : SEEK_END);
    return at < 0 ? INVALID_SET_FILE_POINTER : (DWORD)at;
}

BOOL FlushFileBuffers(HANDLE) { return TRUE; }

BOOL CloseHandle(HANDLE h)
{
    close(((File*)h)->fd);
    delete (File*)h;
    return TRUE;
}

DWORD GetFileSize(HANDLE h, LPDWORD high)
{
    struct stat st;
    if (fstat(((File*)h)->fd, &st) != 0)
        return INVALID_SET_FILE_POINTER;
    if (high)
        *high = (DWORD)((uint64_t)st.st_size >> 32);
    return (DWORD)st.st_size;
}

BOOL DeleteFileA(LPCSTR name)
{
    const std::string path = Target(name);
    return MayChange(name) && unlink(path.c_str()) == 0;
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL)
{
    HANDLE in = CreateFileA(from, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE)
        return FALSE;
    HANDLE out = CreateFileA(to, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    BOOL ok = out != INVALID_HANDLE_VALUE;
    char buffer[65536];
    DWORD n, put;
    while (ok && ReadFile(in, buffer, sizeof(buffer), &n, NULL) && n > 0)
        ok = WriteFile(out, buffer, n, &put, NULL);
    CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    return ok;
}

HANDLE FindFirstFileA(LPCSTR name, WIN32_FIND_DATAA* found)
{
    struct stat st;
    if (stat(Target(name).c_str(), &st) != 0)
        return INVALID_HANDLE_VALUE;
    found->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    found->cFileName[0] = '\0';
    return new File{-1};
}

BOOL FindClose(HANDLE h)
{
    delete (File*)h;
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES*)
{
    const std::string path = Target(name);
    return MayChange(name) && mkdir(path.c_str(), 0755) == 0;
}

BOOL DosDateTimeToFileTime(WORD date, WORD time, FILETIME* t)
{
    const int day = date & 31, month = (date >> 5) & 15;
    const int second = (time & 31) * 2, minute = (time >> 5) & 63, hour = time >> 11;
    if (day < 1 || month < 1 || month > 12 || second > 59 || minute > 59 || hour > 23)
        return FALSE;
    t->dwLowDateTime = ((DWORD)date << 16) | time;
    t->dwHighDateTime = 0;
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc)
{
    *utc = *local;
    return TRUE;
}

BOOL SetFileTime(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*) { return TRUE; }

HGLOBAL GlobalAlloc(UINT, SIZE_T n) { return calloc(1, n); }
HGLOBAL GlobalFree(HGLOBAL p)
{
    free(p);
    return NULL;
}

UINT GetSystemDirectoryA(LPSTR, UINT) { return 0; }
HMODULE LoadLibraryA(LPCSTR) { return NULL; }
FARPROC GetProcAddress(HMODULE, LPCSTR) { return NULL; }
HMODULE GetModuleHandleA(LPCSTR) { return NULL; }

BOOL IsDBCSLeadByte(BYTE b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

LPSTR CharNextA(LPCSTR p)
{
    if (*p == '\0')
        return (LPSTR)p;
    if (IsDBCSLeadByte((BYTE)*p) && p[1] != '\0')
        return (LPSTR)p + 2;
    return (LPSTR)p + 1;
}

LPSTR CharPrevA(LPCSTR start, LPCSTR current)
{
    if (current <= start)
        return (LPSTR)start;
    const char* p = start;
    for (;;) {
        const char* next = CharNextA(p);
        if (next >= current || next == p)
            return (LPSTR)p;
        p = next;
    }
}

int lstrlenA(LPCSTR s) { return s ? (int)strlen(s) : 0; }
LPSTR lstrcpyA(LPSTR d, LPCSTR s) { return strcpy(d, s); }
LPSTR lstrcatA(LPSTR d, LPCSTR s) { return strcat(d, s); }
int lstrcmpiA(LPCSTR a, LPCSTR b) { return strcasecmp(a, b); }
LPSTR lstrcpynA(LPSTR d, LPCSTR s, int n)
{
    if (n <= 0)
        return d;
    strncpy(d, s, n - 1);
    d[n - 1] = '\0';
    return d;
}

// No windows exist here: the progress window is never created.
HWND GetDlgItem(HWND, int) { return NULL; }
BOOL GetWindowRect(HWND, RECT*) { return FALSE; }
HDC GetDC(HWND) { return NULL; }
int ReleaseDC(HWND, HDC) { return 0; }
BOOL GetTextMetricsA(HDC, TEXTMETRICA*) { return FALSE; }
BOOL SetDlgItemTextA(HWND, int, LPCSTR) { return FALSE; }
LRESULT SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM) { return 0; }
BOOL ShowWindow(HWND, int) { return FALSE; }
BOOL UpdateWindow(HWND) { return FALSE; }
HWND CreateDialogParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) { return NULL; }
BOOL DestroyWindow(HWND) { return FALSE; }
BOOL InvalidateRect(HWND, const RECT*, BOOL) { return FALSE; }
void SHChangeNotify(LONG, UINT, LPCVOID, LPCVOID) {}
BOOL SetWindowTextA(HWND, LPCSTR) { return FALSE; }
UINT GetDlgItemTextA(HWND, int, LPSTR text, int) { return *text = '\0', 0; }
BOOL EndDialog(HWND, INT_PTR) { return FALSE; }
INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) { return -1; }
