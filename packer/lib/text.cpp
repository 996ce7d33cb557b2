// Encodings, the stored-type rule, MS-DOS times and the name safety rule.
#include <cstring>
#include <filesystem>

#include "pack.h"

#ifdef _WIN32
#include <windows.h>
#elif !defined(__EMSCRIPTEN__)
#include <iconv.h>
#endif

namespace pack {

#ifdef _WIN32

static bool Convert(UINT from, UINT to, const std::string& in, std::string* out)
{
    out->clear();
    if (in.empty())
        return true;
    const int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), (int)in.size(), NULL, 0);
    if (wide <= 0)
        return false;
    std::wstring w(wide, L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), (int)in.size(), &w[0], wide);
    BOOL lossy = FALSE;
    BOOL* lossyFlag = to == CP_UTF8 ? NULL : &lossy;
    const DWORD flags = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int bytes = WideCharToMultiByte(to, flags, w.data(), wide, NULL, 0, NULL, lossyFlag);
    if (bytes <= 0 || lossy)
        return false;
    out->resize(bytes);
    WideCharToMultiByte(to, flags, w.data(), wide, &(*out)[0], bytes, NULL, lossyFlag);
    return !lossy;
}

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) { return Convert(CP_UTF8, 932, utf8, cp932); }
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) { return Convert(932, CP_UTF8, cp932, utf8); }

#elif defined(__EMSCRIPTEN__)

// In a browser there is no iconv with code page 932: cp932.cpp maps it by
// tables.

#else

static bool Convert(const char* from, const char* to, const std::string& in, std::string* out)
{
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return false;
    std::string buffer(in.size() * 4 + 16, '\0');
    char* source = const_cast<char*>(in.data());
    size_t sourceLeft = in.size();
    char* target = &buffer[0];
    size_t targetLeft = buffer.size();
    const bool ok = iconv(cd, &source, &sourceLeft, &target, &targetLeft) != (size_t)-1 && sourceLeft == 0;
    iconv_close(cd);
    if (ok)
        out->assign(buffer.data(), buffer.size() - targetLeft);
    return ok;
}

// glibc's iconv drops Unicode's tag characters (U+E0000 to U+E007F) without
// a word, which would pack "a<tag>b" as "ab": they are refused, as every
// other character Shift-JIS cannot hold.
static bool HoldsTagCharacter(const std::string& utf8)
{
    return utf8.find("\xF3\xA0\x80") != std::string::npos || utf8.find("\xF3\xA0\x81") != std::string::npos;
}

bool Utf8ToCp932(const std::string& utf8, std::string* cp932)
{
    if (HoldsTagCharacter(utf8)) {
        cp932->clear();
        return false;
    }
    return Convert("UTF-8", "CP932", utf8, cp932);
}
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) { return Convert("CP932", "UTF-8", cp932, utf8); }

#endif

bool IsStoredTypeName(const std::string& name)
{
    // Names reach here in UTF-8, whose multi-byte sequences hold no ASCII
    // bytes, so a byte scan finds the same extension the stub does.
    size_t dot = std::string::npos;
    for (size_t i = 0; i < name.size(); i++) {
        const char c = name[i];
        if (c == '.')
            dot = i;
        else if (c == ' ' || c == '/' || c == '\\')
            dot = std::string::npos;
    }
    if (dot == std::string::npos)
        return false;
    std::string extension = name.substr(dot);
    for (char& c : extension)
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
    for (const char* const* type = sfx::StoredTypes; **type; type++)
        if (extension == *type)
            return true;
    return false;
}

// The broken-down local time of `when`; false when it cannot be had.
static bool LocalTime(std::time_t when, std::tm* local)
{
#ifdef _WIN32
    // Through the system's own conversion, as the stub converts back with it
    // (the C runtime would read TZ in its own way).
    const uint64_t ticks = (uint64_t)((int64_t)when * 10000000 + 116444736000000000LL);
    FILETIME utc = {(DWORD)ticks, (DWORD)(ticks >> 32)}, localTime;
    SYSTEMTIME s;
    if (when < 0 || !FileTimeToLocalFileTime(&utc, &localTime) || !FileTimeToSystemTime(&localTime, &s))
        return false;
    *local = {};
    local->tm_year = s.wYear - 1900;
    local->tm_mon = s.wMonth - 1;
    local->tm_mday = s.wDay;
    local->tm_hour = s.wHour;
    local->tm_min = s.wMinute;
    local->tm_sec = s.wSecond;
    return true;
#else
    return localtime_r(&when, local) != nullptr;
#endif
}

void ToDosDateTime(std::time_t when, uint16_t* date, uint16_t* time, bool* clamped)
{
    std::tm local;
    if (!LocalTime(when, &local)) {
        local = {};
        local.tm_year = 0;  // unknown: clamped below
    }
    *clamped = false;
    if (local.tm_year < 80) {
        *clamped = true;
        *date = (0 << 9) | (1 << 5) | 1;  // 1980-01-01 00:00:00
        *time = 0;
        return;
    }
    if (local.tm_year > 207) {
        *clamped = true;
        *date = (127 << 9) | (12 << 5) | 31;  // 2107-12-31 23:59:58
        *time = (23 << 11) | (59 << 5) | 29;
        return;
    }
    *date = (uint16_t)(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    *time = (uint16_t)((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

bool FromDosDateTime(uint16_t date, uint16_t time, std::time_t* when)
{
    const int day = date & 31, month = (date >> 5) & 15, year = (date >> 9) + 1980;
    const int second = (time & 31) * 2, minute = (time >> 5) & 63, hour = time >> 11;
    if (day < 1 || month < 1 || month > 12 || second > 59 || minute > 59 || hour > 23)
        return false;
#ifdef _WIN32
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(date, time, &local) || !LocalFileTimeToFileTime(&local, &utc))
        return false;
    const uint64_t ticks = (uint64_t)utc.dwHighDateTime << 32 | utc.dwLowDateTime;
    *when = (std::time_t)((int64_t)(ticks - 116444736000000000ULL) / 10000000);
    return true;
#else
    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    *when = mktime(&local);
    return *when != (std::time_t)-1;
#endif
}

static bool IsDeviceName(const std::string& component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

bool IsContainedName(const std::string& relative)
{
    if (!relative.empty() && (relative[0] == '\\' || relative[0] == '/'))
        return false;
    if (relative.find(':') != std::string::npos || relative.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = relative.size();
        const std::string component = relative.substr(start, end - start);
        if (!component.empty()) {
            if (component.find_first_not_of(". ") == std::string::npos || IsDeviceName(component))
                return false;
        }
        start = end + 1;
    }
    return true;
}

std::string Grouped(uint64_t n)
{
    std::string digits = std::to_string(n);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

FILE* OpenFile(const std::string& utf8, const char* mode)
{
#ifdef _WIN32
    const std::string m(mode);
    return _wfopen(std::filesystem::u8path(utf8).c_str(), std::wstring(m.begin(), m.end()).c_str());
#else
    return std::fopen(utf8.c_str(), mode);
#endif
}

bool ReadFileBytes(const std::string& utf8, sfx::Bytes* bytes)
{
    return sfx::ReadWholeFile(OpenFile(utf8, "rb"), bytes);
}

}  // namespace pack
