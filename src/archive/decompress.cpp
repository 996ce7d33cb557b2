// Decoding of one compressed entry from the staging file into its destination,
// through libbzip2's file interface, with the progress bar following the bytes
// written.
#include "archive.h"
#include "../app/app.h"
#include "../fs/fs.h"
#include "../ui/ui.h"

#include <commctrl.h>

#include <bzlib.h>

static BZFILE* CompressedStream;

void* OpenCompressedFile(const char* path)
{
    CompressedStream = BZ2_bzopen(path, "rb");
    return CompressedStream;
}

// 1..count bytes decoded, 0 once the stream has ended cleanly, -1 on any error.
int ReadDecompressed(void* buffer, int count)
{
    return BZ2_bzread(CompressedStream, buffer, count);
}

void CloseCompressedFile()
{
    BZ2_bzclose(CompressedStream);
}

static void SendProgress(UINT message, WPARAM wParam, LPARAM lParam)
{
    SendDlgItemMessageA(ProgressWindow, ProgressBarId, message, wParam, lParam);
}

int DecompressToFile(const char* stagingPath, const char* targetPath)
{
    int result = 0;
    // Unsigned, so a stream of 2 GiB or more keeps a sensible bar position;
    // decoding and writing never depend on it.
    DWORD written = 0;
    HANDLE target = INVALID_HANDLE_VALUE;
    if (DataBuffer != NULL)
        target = OpenFileHandle(targetPath, GENERIC_WRITE, CREATE_ALWAYS);
    if (target != INVALID_HANDLE_VALUE) {
        if (OpenCompressedFile(stagingPath) != NULL) {
            if (ProgressWindow != NULL) {
                SetPathText(ProgressWindow, PathLineId, targetPath);
                SendProgress(PBM_SETRANGE, 0, MAKELPARAM(0, (WORD)(CurrentEntry.Header.UnpackedSize >> 14)));
                SendProgress(PBM_SETSTEP, 1, 0);
                ShowWindow(ProgressWindow, SW_SHOWNORMAL);
            }
            for (;;) {
                const int n = ReadDecompressed(DataBuffer, DecompressChunk);
                if (n == 0) {
                    result = 1;
                    break;
                }
                if (n < 0 || !WriteBytes(target, DataBuffer, n))
                    break;
                written += n;
                if (ProgressWindow != NULL) {
                    SendProgress(PBM_SETPOS, written / DecompressChunk, 0);
                    ShowWindow(ProgressWindow, SW_SHOWNORMAL);
                }
            }
            CloseCompressedFile();
        }
        FlushAndClose(target);
    }
    ResetProgressWindow();
    return result;
}
