// Test-only: the progress bar messages and common-controls types.
#pragma once
#include "windows.h"
#define PBM_SETRANGE 0x0401
#define PBM_SETPOS 0x0402
#define PBM_SETSTEP 0x0404
#define ICC_PROGRESS_CLASS 0x20
struct INITCOMMONCONTROLSEX {
    DWORD dwSize, dwICC;
};
