// User interface: the destination dialog and the progress window with its
// shortened path line.
#pragma once
#include <windows.h>

// Resource and control ids.
enum {
    ProgressDialogId = 101,
    AppIconId = 102,
    DestinationDialogId = 103,
    ProgressBarId = 1000,
    PathLineId = 1001,
    MessageLineId = 1004,
    DestinationFieldId = 1005,
};

// Working buffers of the path shortening: a path of up to 259 bytes plus the
// three bytes the first shortening pass can add before it cuts back.
enum { PathTextBufferSize = 264 };

// Writes into `shown` (PathTextBufferSize bytes) the text as the path line
// shows it at a limit of `limit` bytes: shortened with "..." to fit, forward
// slashes turned into backslashes.  Of a text over 259 bytes, its end is used.
void FitPathText(char* shown, const char* text, int limit);

// Shows `text` in static control `id` of `dialog`, shortened to the control's
// width; returns nonzero when the control's text was set.
int SetPathText(HWND dialog, int id, const char* text);

// The progress window's idle display: our own path, range 0..100, step 1.
void ResetProgressWindow();

// Creates the progress window from its template (registering the progress bar
// class first) and puts it into the idle display; ProgressWindow stays null
// when it cannot be created.
void OpenProgressWindow();
// Destroys it and has the whole screen redrawn.
void CloseProgressWindow();

// The modal destination dialog: true when the user confirmed, with the field's
// text, closed by a backslash, in DestinationDir.
int ShowDestinationDialog();
INT_PTR CALLBACK DestinationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
