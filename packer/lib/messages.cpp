// Filling message templates, and sizes as people read them.
#include "messages.h"
#include "pack.h"

#include <cstdio>

namespace pack {

std::string SizeText(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        return SayCount("{count} byte", "{count} bytes", bytes, {{"count", bytes}});
    static const char* const units[] = {"KB", "MB", "GB"};
    double value = bytes / 1024.0;
    int unit = 0;
    for (; value >= 1024 && unit < 2; unit++)
        value /= 1024;
    std::snprintf(text, sizeof(text), value < 100 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

namespace {

// Fills a template's {name} placeholders in one pass: a value is never read
// again, so a name that holds braces stays as it is.
std::string Fill(const std::string& pattern, const std::vector<Value>& values)
{
    std::string text;
    for (size_t at = 0; at < pattern.size();) {
        const size_t open = pattern.find('{', at), close = pattern.find('}', open);
        if (open == std::string::npos || close == std::string::npos) {
            text.append(pattern, at, std::string::npos);
            break;
        }
        text.append(pattern, at, open - at);
        const std::string name = pattern.substr(open + 1, close - open - 1);
        const Value* value = nullptr;
        for (const Value& v : values)
            if (name == v.name)
                value = &v;
        if (value == nullptr)
            text.append(pattern, open, close + 1 - open);
        else
            text += value->kind == Value::Text    ? value->text
                    : value->kind == Value::Size  ? SizeText(value->number)
                    : value->kind == Value::Count ? Grouped(value->number)
                                                  : Say(value->cause->what, value->cause->values);
        at = close + 1;
    }
    return text;
}

}  // namespace

std::string Say(const char* english, const std::vector<Value>& values)
{
    return Fill(Tr(english), values);
}

std::string SayCount(const char* one, const char* many, uint64_t n, const std::vector<Value>& values)
{
    return Fill(TrPlural(one, many, n), values);
}

std::string Render(const Problem& problem)
{
    const std::string text = Say(problem.what, problem.values);
    return problem.warning ? Say(N_("warning: {problem}"), {{"problem", text}}) : text;
}

}  // namespace pack
