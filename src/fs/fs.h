// Files and paths: thin wrappers over the Windows file API, and double-byte
// aware path handling in the ANSI code page.
#pragma once
#include <windows.h>

// File access: every open is tested against INVALID_HANDLE_VALUE by the caller.
HANDLE OpenFileHandle(LPCSTR path, DWORD desiredAccess, DWORD creationDisposition);
DWORD ReadBytes(HANDLE file, void* buffer, DWORD count);
BOOL WriteBytes(HANDLE file, const void* buffer, DWORD count);
DWORD SeekTo(HANDLE file, LONG distance, DWORD moveMethod);
void FlushAndClose(HANDLE file);

// Path operations.  Strings are in the ANSI code page and are scanned with
// CharNextA/CharPrevA, so the second byte of a double-byte character (which in
// Shift-JIS can be 0x5C) is never taken for a backslash.  A character argument
// holds its first byte in the low 8 bits and its second byte, if any, in the
// high 8 bits.
int CharDiffers(const char* position, WORD target);
char* FindChar(const char* text, WORD target);
char* AddTrailingBackslash(char* path);
int PathExists(const char* path);
char* FindExtension(const char* path);
char* FindFileName(const char* path);
int IsUncPrefix(const char* path);
int StripFileName(char* path);
char* ConvertSlashes(char* text);
char* SkipPathRoot(const char* path);
int EnsureDirectory(char* directory);
int CreateDirectoryChain(const char* path);

// True when `relative`, appended to a directory path, names something inside
// that directory: no leading separator, no colon (drive letters, alternate
// streams), no component made only of dots and spaces (Windows reads "..",
// ". ." and "..." as parent references or folds them), and no component that
// Windows opens as a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or
// without an extension).
int IsContainedPath(const char* relative);
