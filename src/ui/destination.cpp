// The destination dialog: the distributor's title and message, and the
// destination directory to confirm or edit.  OK takes the field as typed and
// closes it with a backslash; Cancel and Escape end the run quietly.
#include "ui.h"
#include "../app/app.h"
#include "../fs/fs.h"

INT_PTR CALLBACK DestinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        if (DialogTitle[0] != '\0')
            SetWindowTextA(dialog, DialogTitle);
        if (DialogMessage[0] != '\0')
            SetDlgItemTextA(dialog, MessageLineId, DialogMessage);
        if (DestinationDir[0] != '\0')
            SetDlgItemTextA(dialog, DestinationFieldId, DestinationDir);
        return 1;  // the focus goes to the first tab stop, the field
    }
    if (message != WM_COMMAND)
        return 0;
    switch (LOWORD(wParam)) {
    case IDOK:
        GetDlgItemTextA(dialog, DestinationFieldId, DestinationDir, MAX_PATH);
        AddTrailingBackslash(DestinationDir);
        EndDialog(dialog, 0);
        break;
    case IDCANCEL:
        EndDialog(dialog, 1);
        break;
    }
    return 1;
}

int ShowDestinationDialog()
{
    return DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(DestinationDialogId), NULL, DestinationDialogProc, 0) == 0;
}
