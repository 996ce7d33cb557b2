// Test-only: the shell notification.
#pragma once
#include "windows.h"
#define SHCNE_MKDIR 0x8
#define SHCNF_PATHA 0x1
void SHChangeNotify(LONG, UINT, LPCVOID, LPCVOID);
