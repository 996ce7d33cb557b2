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
