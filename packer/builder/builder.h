// kvxsfx-builder: one Japanese dialog that makes a self-extracting file with
// the packer's own library.  Unicode API throughout; names reach the packer
// as UTF-8.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "ids.h"
#include "sfxwriter.h"

// Shows the builder with `inputs` (files and folders) filled in, and returns
// when it is closed.
int RunBuilder(HINSTANCE instance, const std::vector<std::wstring>& inputs, const sfx::Bytes& stub);

// The default output for some inputs: beside the (first) folder, named after
// it; for files, in their folder, named after that folder.
std::wstring DefaultOutput(const std::vector<std::wstring>& inputs);
