// The distributor's icon: a PNG, or the image of an ICO file best for 32 x 32,
// made into the stub's one icon image: 32 x 32 in the standard 16 colours,
// with a transparency mask, 744 bytes written over the stub's own in place.
// PNG through stb_image; the ICO container and its bitmaps are read here.
#include <algorithm>
#include <cmath>
#include <cstring>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_FAILURE_STRINGS
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STB_IMAGE_RESIZE_STATIC
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include "pack.h"

namespace pack {

const uint8_t IconPalette[16][3] = {  // the standard 16 colours, as r, g, b
    {0, 0, 0},     {128, 0, 0},   {0, 128, 0},   {128, 128, 0}, {0, 0, 128},   {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},  {255, 255, 0},
    {0, 0, 255},   {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

namespace {

using sfx::Get16;
using sfx::Get32;

uint32_t Get32BigEndian(const uint8_t* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

const Problem Fine{nullptr, {}};
const Problem Damaged{N_("{file}: the image is cut short or damaged"), {}};
const Problem NoPixels{N_("{file}: the image has no pixels"), {}};
// Any icon fits within this; a larger picture would take memory for nothing
// (a PNG of 23,000 x 23,000 is 2 GB of pixels).
const int32_t MaxSide = 4096;

Problem TooLarge(int64_t width, int64_t height)
{
    return {N_("{file}: the image is {width} x {height} pixels; an icon is read up to 4,096 x 4,096"),
            {{"width", (uint64_t)width}, {"height", (uint64_t)height}}};
}

bool IsPng(const uint8_t* p, size_t n)
{
    return n >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0;
}

// Whether every chunk lies within the file: stb_image sizes its buffer by
// what a chunk says it holds before it looks for the bytes, and a file of a
// few bytes could ask for gigabytes.
bool ChunksFit(const uint8_t* p, size_t n)
{
    for (size_t at = 8; at < n;) {
        if (n - at < 12 || Get32BigEndian(p + at) > n - at - 12)
            return false;
        if (std::memcmp(p + at + 4, "IEND", 4) == 0)
            return true;
        at += 12 + Get32BigEndian(p + at);
    }
    return true;
}

// Its size is read first, and a picture past the bound is not decoded.
Problem ReadPng(const uint8_t* p, size_t n, Rgba* image)
{
    int width = 0, height = 0, channels = 0;
    if (!ChunksFit(p, n))
        return Damaged;
    if (n >= 24) {  // the header's width and height, IHDR first
        const uint32_t headerWidth = Get32BigEndian(p + 16), headerHeight = Get32BigEndian(p + 20);
        if (headerWidth == 0 || headerHeight == 0)
            return NoPixels;
        if (headerWidth > MaxSide || headerHeight > MaxSide)
            return TooLarge(headerWidth, headerHeight);
    }
    if (n > INT32_MAX || !stbi_info_from_memory(p, (int)n, &width, &height, &channels))
        return Damaged;
    if (width <= 0 || height <= 0)
        return NoPixels;
    stbi_uc* pixels = stbi_load_from_memory(p, (int)n, &width, &height, &channels, 4);
    if (pixels == nullptr)
        return Damaged;
    image->width = width, image->height = height;
    image->pixels.assign(pixels, pixels + (size_t)width * height * 4);
    stbi_image_free(pixels);
    return Fine;
}

// Where a colour channel lies in a 32-bit pixel, from its mask: the shift of
// a run of 8 bits; false for any other mask.
bool ChannelShift(uint32_t mask, int* shift)
{
    if (mask == 0)
        return false;
    *shift = __builtin_ctz(mask);
    return mask >> *shift == 0xFF;
}

// One image of an ICO file in its bitmap form: a BITMAPINFOHEADER, or a
// BITMAPV4HEADER or V5 (height doubled), a palette for 1, 4 and 8 bits, the
// colours bottom-up, then the 1-bit transparency mask.  32-bit images carry
// alpha, where the masks of BI_BITFIELDS say (they follow a
// BITMAPINFOHEADER and stand inside the larger headers); where all alpha is
// zero, the mask decides, as Windows does.
Problem ReadIconBitmap(const uint8_t* p, size_t n, Rgba* image)
{
    if (n < 40 || Get32(p) < 40 || Get32(p) > n)
        return Damaged;
    const int32_t width = (int32_t)Get32(p + 4), height = (int32_t)Get32(p + 8) / 2;
    const uint16_t bits = Get16(p + 14);
    const uint32_t header = Get32(p), compression = Get32(p + 16), used = Get32(p + 32);
    if (width <= 0 || height <= 0)
        return NoPixels;
    if (width > MaxSide || height > MaxSide)
        return TooLarge(width, height);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return {N_("{file}: a bitmap of {bits} bits a pixel, whose colours are not read (1, 4, 8, 24 and 32 are)"),
                {{"bits", (uint64_t)bits}}};
    const bool bitfields = compression == 3 && bits == 32;
    int shift[4] = {16, 8, 0, 24};  // red, green, blue, alpha in a 32-bit pixel
    if ((compression != 0 && !bitfields) || (bitfields && (header + (header == 40 ? 12 : 0) > n ||
                                                           !ChannelShift(Get32(p + 40), &shift[0]) ||
                                                           !ChannelShift(Get32(p + 44), &shift[1]) ||
                                                           !ChannelShift(Get32(p + 48), &shift[2]))))
        return Damaged;
    if (bitfields && header >= 56 && !ChannelShift(Get32(p + 52), &shift[3]))
        shift[3] = -1;  // no alpha
    const size_t colours = bits <= 8 ? (used != 0 && used <= (1u << bits) ? used : 1u << bits) : 0;
    const size_t palette = header + (bitfields && header == 40 ? 12 : 0), stride = ((size_t)width * bits + 31) / 32 * 4;
    const size_t maskStride = ((size_t)width + 31) / 32 * 4, pixels = palette + colours * 4;
    const size_t mask = pixels + stride * height;
    if (mask + maskStride * height > n)
        return Damaged;
    image->width = width, image->height = height;
    image->pixels.assign((size_t)width * height * 4, 0);
    bool anyAlpha = false;
    for (int y = 0; y < height; y++) {
        const uint8_t* row = p + pixels + stride * (height - 1 - y);
        const uint8_t* maskRow = p + mask + maskStride * (height - 1 - y);
        for (int x = 0; x < width; x++) {
            uint8_t* out = &image->pixels[((size_t)y * width + x) * 4];
            const uint8_t* bgr = row + (size_t)x * bits / 8;
            if (bits <= 8) {
                const unsigned index = (row[(size_t)x * bits / 8] >> (8 - bits - (x * bits) % 8)) & ((1u << bits) - 1);
                bgr = index < colours ? p + palette + index * 4 : p + palette;
            }
            if (bits == 32) {
                const uint32_t pixel = Get32(bgr);
                for (int c = 0; c < 4; c++)
                    out[c] = shift[c] < 0 ? 0 : (uint8_t)(pixel >> shift[c]);
            } else {
                out[0] = bgr[2], out[1] = bgr[1], out[2] = bgr[0], out[3] = 0;
            }
            anyAlpha = anyAlpha || out[3] != 0;
            if (bits != 32 && !((maskRow[x / 8] >> (7 - x % 8)) & 1))
                out[3] = 255;
        }
    }
    for (int y = 0; bits == 32 && !anyAlpha && y < height; y++)
        for (int x = 0; x < width; x++) {
            const uint8_t* maskRow = p + mask + maskStride * (height - 1 - y);
            image->pixels[((size_t)y * width + x) * 4 + 3] = (maskRow[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
        }
    return Fine;
}

// The ICO directory: which image to take for 32 x 32.  One of exactly that
// size with the most colours; else the smallest larger one (shrinking keeps
// detail); else the largest.
Problem ReadIco(const uint8_t* p, size_t n, Rgba* image)
{
    const uint16_t count = Get16(p + 4);
    if (count == 0)
        return NoPixels;
    if (6 + (size_t)count * 16 > n)
        return Damaged;
    int best = -1;
    long bestScore = 0;
    for (int i = 0; i < count; i++) {
        const uint8_t* e = p + 6 + i * 16;
        const long side = std::max(e[0] ? e[0] : 256, e[1] ? e[1] : 256), bits = Get16(e + 6);
        const long score = side == 32 ? 1000000 + bits : side > 32 ? 100000 - side : side;
        if (best < 0 || score > bestScore)
            best = i, bestScore = score;
    }
    const uint8_t* e = p + 6 + best * 16;
    const uint32_t size = Get32(e + 8), offset = Get32(e + 12);
    if (offset > n || size > n - offset || size == 0)
        return Damaged;
    return IsPng(p + offset, size) ? ReadPng(p + offset, size, image) : ReadIconBitmap(p + offset, size, image);
}

// Shrunk or enlarged to 32 x 32 in linear light, alpha-weighted (stb's
// Mitchell filter down, Catmull-Rom up).
Rgba To32(const Rgba& image)
{
    if (image.width == 32 && image.height == 32)
        return image;
    Rgba out;
    out.width = out.height = 32;
    out.pixels.assign(32 * 32 * 4, 0);
    stbir_resize_uint8_srgb(image.pixels.data(), image.width, image.height, 0, out.pixels.data(), 32, 32, 0, 4, 3, 0);
    return out;
}

int Nearest(const float rgb[3])
{
    int best = 0;
    float bestDistance = 1e30f;
    for (int i = 0; i < 16; i++) {
        // Differences weighted as the eye weighs them ("redmean").
        const float r = rgb[0] - IconPalette[i][0], g = rgb[1] - IconPalette[i][1], b = rgb[2] - IconPalette[i][2];
        const float mean = (rgb[0] + IconPalette[i][0]) / 2;
        const float distance = (2 + mean / 256) * r * r + 4 * g * g + (2 + (255 - mean) / 256) * b * b;
        if (distance < bestDistance)
            best = i, bestDistance = distance;
    }
    return best;
}

// Maps the opaque pixels to the palette with Floyd-Steinberg error diffusion,
// row by row in alternating directions, so gradients stay readable; each
// pixel's error goes to opaque neighbours only.  -1 for transparent pixels.
std::vector<int> Dither(const Rgba& image)
{
    std::vector<float> work(32 * 32 * 3);
    std::vector<int> index(32 * 32, -1);
    for (size_t i = 0; i < work.size(); i++)
        work[i] = image.pixels[i / 3 * 4 + i % 3];
    auto opaque = [&](int x, int y) { return x >= 0 && x < 32 && y < 32 && image.pixels[(y * 32 + x) * 4 + 3] >= 128; };
    for (int y = 0; y < 32; y++) {
        const int step = y % 2 ? -1 : 1;
        for (int k = 0; k < 32; k++) {
            const int x = y % 2 ? 31 - k : k;
            if (!opaque(x, y))
                continue;
            float* rgb = &work[(y * 32 + x) * 3];
            for (int c = 0; c < 3; c++)
                rgb[c] = std::min(255.0f, std::max(0.0f, rgb[c]));
            const int chosen = index[y * 32 + x] = Nearest(rgb);
            const struct {
                int dx, dy;
                float weight;
            } spread[] = {{step, 0, 7 / 16.0f}, {-step, 1, 3 / 16.0f}, {0, 1, 5 / 16.0f}, {step, 1, 1 / 16.0f}};
            for (const auto& s : spread)
                if (opaque(x + s.dx, y + s.dy))
                    for (int c = 0; c < 3; c++)
                        work[((y + s.dy) * 32 + x + s.dx) * 3 + c] += (rgb[c] - IconPalette[chosen][c]) * s.weight;
        }
    }
    return index;
}

}  // namespace

Problem ReadImage(const sfx::Bytes& file, const std::string& name, Rgba* image)
{
    const uint8_t* p = file.data();
    Problem problem = IsPng(p, file.size()) ? ReadPng(p, file.size(), image)
                      : file.size() >= 6 && Get16(p) == 0 && (Get16(p + 2) == 1 || Get16(p + 2) == 2)
                          ? ReadIco(p, file.size(), image)
                          : Problem{N_("{file} is not a PNG or ICO image"), {}};
    if (problem.what != nullptr)
        problem.values.emplace_back("file", name);
    return problem;
}

sfx::Bytes IconImage(const Rgba& image)
{
    const std::vector<int> index = Dither(To32(image));
    sfx::Bytes out;  // BITMAPINFOHEADER (height doubled for the mask), the palette as blue, green, red, 0
    for (uint32_t field : {40u, 32u, 64u, 1u | 4u << 16, 0u, 640u, 0u, 0u, 16u, 0u})
        sfx::Put32(out, field);
    for (const uint8_t* rgb : IconPalette)
        out.insert(out.end(), {rgb[2], rgb[1], rgb[0], 0});
    out.resize(sfx::IconImageSize, 0);
    for (int y = 0; y < 32; y++)  // rows bottom-up: 16 bytes of colours, 4 of mask
        for (int x = 0; x < 32; x++) {
            const int i = index[(31 - y) * 32 + x];
            out[104 + y * 16 + x / 2] |= (uint8_t)((i < 0 ? 0 : i) << (x % 2 ? 0 : 4));
            if (i < 0)
                out[616 + y * 4 + x / 8] |= (uint8_t)(0x80 >> (x % 8));
        }
    return out;
}

bool ApplyIcon(const Options& options, sfx::Bytes* stub, Reporter& report)
{
    if (options.iconPath.empty())
        return true;
    sfx::Bytes file;
    Rgba image;
    if (!ReadFileBytes(options.iconPath, &file)) {
        report.Error(N_("{file}: cannot be read"), {{"file", options.iconPath}});
        return false;
    }
    const Problem problem = ReadImage(file, options.iconPath, &image);
    if (problem.what != nullptr) {
        report.Report(problem);
        return false;
    }
    uint32_t at = 0;
    if (!sfx::FindIconImage(*stub, &at)) {
        report.Error(N_("the stub has no icon image of 32 x 32 in 16 colours to replace"));
        return false;
    }
    const sfx::Bytes icon = IconImage(image);
    std::copy(icon.begin(), icon.end(), stub->begin() + at);
    return true;
}

}  // namespace pack
