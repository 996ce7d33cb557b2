// File access primitives.  Every open shares read access only, so while we hold
// a file nobody else may write or delete it.  Reads return a byte count that is
// 0 both on failure and at the end of the file; writes succeed only when every
// byte went out.
#include "fs.h"

HANDLE OpenFileHandle(LPCSTR path, DWORD desiredAccess, DWORD creationDisposition)
{
    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = NULL;
    security.bInheritHandle = FALSE;
    return CreateFileA(path, desiredAccess, FILE_SHARE_READ, &security,
                       creationDisposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

DWORD ReadBytes(HANDLE file, void* buffer, DWORD count)
{
    DWORD done = 0;
    if (count == 0)
        return 0;
    if (!ReadFile(file, buffer, count, &done, NULL))
        return 0;
    return done;
}

BOOL WriteBytes(HANDLE file, const void* buffer, DWORD count)
{
    DWORD done = 0;
    if (count == 0)
        return FALSE;
    if (!WriteFile(file, buffer, count, &done, NULL))
        return FALSE;
    return done == count;
}

DWORD SeekTo(HANDLE file, LONG distance, DWORD moveMethod)
{
    return SetFilePointer(file, distance, NULL, moveMethod);
}

void FlushAndClose(HANDLE file)
{
    if (file == NULL)
        return;
    FlushFileBuffers(file);
    CloseHandle(file);
}
