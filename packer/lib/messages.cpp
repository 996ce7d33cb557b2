// Filling message templates, and sizes as people read them.
#include "messages.h"
#include "pack.h"

#include <cstdio>

namespace pack {

std::string SizeText(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        return Say(N_("{count} bytes"), {{"count", bytes}});
    static const char* const units[] = {"KB", "MB", "GB"};
    double value = bytes / 1024.0;
    int unit = 0;
    for (; value >= 1024 && unit < 2; unit++)
        value /= 1024;
    std::snprintf(text, sizeof(text), value < 100 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

std::string Say(const char* english, const std::vector<Value>& values)
{
    std::string text = Tr(english);
    for (const Value& v : values) {
        const std::string placeholder = std::string("{") + v.name + "}";
        const std::string shown = v.kind == Value::Text    ? v.text
                                  : v.kind == Value::Size  ? SizeText(v.number)
                                  : v.kind == Value::Count ? Grouped(v.number)
                                                           : Say(v.cause->what, v.cause->values);
        for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + shown.size()))
            text.replace(at, placeholder.size(), shown);
    }
    return text;
}

std::string Render(const Problem& problem)
{
    const std::string text = Say(problem.what, problem.values);
    return problem.warning ? Say(N_("warning: {problem}"), {{"problem", text}}) : text;
}

}  // namespace pack
