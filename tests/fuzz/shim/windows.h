// The few Win32 declarations the stub's extraction code uses, for building it
// on Linux under libFuzzer and the sanitizers.  Test-only: never part of the
// product.  Implemented over POSIX files in win32.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#define WINAPI
#define CALLBACK
#define WINUSERAPI

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HDC;
typedef HANDLE HGLOBAL;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef INT_PTR (*FARPROC)();
typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_BEGIN 0
#define FILE_SHARE_READ 1
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80
#define GMEM_FIXED 0
#define GMEM_ZEROINIT 0x40
#define SW_SHOWNORMAL 1
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x800
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define IDOK 1
#define IDCANCEL 2

#define LOBYTE(w) ((BYTE)((w)&0xFF))
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xFF))
#define LOWORD(l) ((WORD)((l)&0xFFFF))
#define MAKELPARAM(lo, hi) ((LPARAM)(DWORD)(((WORD)(lo)) | ((DWORD)(WORD)(hi)) << 16))
#define MAKEINTRESOURCEA(i) ((LPCSTR)(uintptr_t)(WORD)(i))
#define ZeroMemory(p, n) memset((p), 0, (n))

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
struct FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
};
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    char cFileName[MAX_PATH];
};
struct RECT {
    LONG left, top, right, bottom;
};
struct TEXTMETRICA {
    LONG tmHeight, tmAveCharWidth;
};

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE);
BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, void*);
BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, void*);
DWORD SetFilePointer(HANDLE, LONG, LONG*, DWORD);
BOOL FlushFileBuffers(HANDLE);
BOOL CloseHandle(HANDLE);
DWORD GetFileSize(HANDLE, LPDWORD);
BOOL DeleteFileA(LPCSTR);
BOOL CopyFileA(LPCSTR, LPCSTR, BOOL);
HANDLE FindFirstFileA(LPCSTR, WIN32_FIND_DATAA*);
BOOL FindClose(HANDLE);
BOOL CreateDirectoryA(LPCSTR, SECURITY_ATTRIBUTES*);
BOOL DosDateTimeToFileTime(WORD, WORD, FILETIME*);
BOOL LocalFileTimeToFileTime(const FILETIME*, FILETIME*);
BOOL SetFileTime(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*);
HGLOBAL GlobalAlloc(UINT, SIZE_T);
HGLOBAL GlobalFree(HGLOBAL);
UINT GetSystemDirectoryA(LPSTR, UINT);
HMODULE LoadLibraryA(LPCSTR);
FARPROC GetProcAddress(HMODULE, LPCSTR);

LPSTR CharNextA(LPCSTR);
LPSTR CharPrevA(LPCSTR, LPCSTR);
BOOL IsDBCSLeadByte(BYTE);
int lstrlenA(LPCSTR);
LPSTR lstrcpyA(LPSTR, LPCSTR);
LPSTR lstrcpynA(LPSTR, LPCSTR, int);
LPSTR lstrcatA(LPSTR, LPCSTR);
int lstrcmpiA(LPCSTR, LPCSTR);

HWND GetDlgItem(HWND, int);
BOOL GetWindowRect(HWND, RECT*);
HDC GetDC(HWND);
int ReleaseDC(HWND, HDC);
BOOL GetTextMetricsA(HDC, TEXTMETRICA*);
BOOL SetDlgItemTextA(HWND, int, LPCSTR);
LRESULT SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM);
BOOL ShowWindow(HWND, int);
BOOL UpdateWindow(HWND);
HWND CreateDialogParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM);
BOOL DestroyWindow(HWND);
BOOL InvalidateRect(HWND, const RECT*, BOOL);
HMODULE GetModuleHandleA(LPCSTR);
BOOL SetWindowTextA(HWND, LPCSTR);
UINT GetDlgItemTextA(HWND, int, LPSTR, int);
BOOL EndDialog(HWND, INT_PTR);
INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM);

// The fuzz root: every file the code under test creates, writes or deletes
// must lie below it; anything else aborts.  Empty: no file may be changed.
// Changes are allowed to `destination`, below it and to `staging` only; any
// other change, or a Windows name form the layer cannot model, aborts.
void ShimSetBoundary(const char* destination, const char* staging);
