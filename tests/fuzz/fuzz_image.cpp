// The image reader --icon uses, over pictures strangers send: PNG, ICO with
// bitmaps of every depth and header, and PNG inside ICO.  Every input is read
// as the packer reads it: either a problem with its reason, or a picture of
// at most 4,096 x 4,096 pixels holding as many pixels as it says, which is
// then made into the stub's icon image of 744 bytes.
#include <cstdlib>

#include "pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const sfx::Bytes file(data, data + size);
    pack::Rgba image;
    const pack::Problem problem = pack::ReadImage(file, "icon", &image);
    if (problem.what != nullptr) {
        if (pack::Say(problem.what, problem.values).find("icon") == std::string::npos)
            std::abort();  // every reason names the file
        return 0;
    }
    if (image.width < 1 || image.height < 1 || image.width > 4096 || image.height > 4096 ||
        image.pixels.size() != (size_t)image.width * image.height * 4)
        std::abort();
    if (pack::IconImage(image).size() != sfx::IconImageSize)
        std::abort();
    return 0;
}
