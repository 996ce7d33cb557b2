// The packer's words.  Every text it shows people is English in the code and
// comes out in the user's language through one message catalogue (po/ja.po):
// glibc's gettext on Linux, the same catalogue compiled into the program on
// Windows.  Problems and warnings travel as values (Problem) and become words
// only at the edge, in the command or the builder.
#pragma once
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Marks a text for the catalogue (xgettext's keyword) without translating it.
#define N_(text) text

namespace pack {

// The text in the user's language.
const char* Tr(const char* english);
// The form for `n` of a text that counts something ("1 file", "2 files").
const char* TrPlural(const char* one, const char* many, uint64_t n);

// Chooses the language: on Linux the locale, with the catalogue looked for in
// `localeDirs` in order; on Windows the user's UI language.
void ChooseLanguage(const std::vector<std::string>& localeDirs);
// Japanese from now on, whatever the system says (the builder).
void UseJapanese();

struct Problem;

// One value a message concerns: a text, a size in bytes (shown as people
// expect: 2.3 MB), a count (shown whole, with separators: 54,424) or another
// problem, its cause.
struct Value {
    enum Kind { Text, Size, Count, Cause };
    Value(const char* name, std::string text) : name(name), kind(Text), text(std::move(text)) {}
    Value(const char* name, const char* text) : name(name), kind(Text), text(text) {}
    Value(const char* name, uint64_t number, Kind kind = Count) : name(name), kind(kind), number(number) {}
    Value(const char* name, const Problem& cause);
    const char* name;
    Kind kind;
    std::string text;
    uint64_t number = 0;
    std::shared_ptr<const Problem> cause;
};

// A message's template in the user's language, its {name} placeholders filled.
std::string Say(const char* english, const std::vector<Value>& values = {});
// The same for a message whose English counts `n` of something.
std::string SayCount(const char* one, const char* many, uint64_t n, const std::vector<Value>& values);

// A size as people expect it: "999 bytes", "12.5 KB", "2.3 MB", "4.0 GB".
std::string SizeText(uint64_t bytes);

// A problem or warning: what went wrong (an English template, which is also
// its key in the catalogue) and the values it concerns.
struct Problem {
    const char* what;
    std::vector<Value> values;
    bool warning = false;
};

inline Value::Value(const char* name, const Problem& cause)
    : name(name), kind(Cause), cause(std::make_shared<Problem>(cause))
{
}

// Where the library reports its problems.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void Report(const Problem& problem) = 0;
    void Error(const char* what, std::vector<Value> values = {}) { Report({what, std::move(values), false}); }
    void Warning(const char* what, std::vector<Value> values = {}) { Report({what, std::move(values), true}); }
};

// A problem in words: "warning: " before a warning, in the user's language.
std::string Render(const Problem& problem);

// Writes problems to a stream in the user's language, one a line, the
// program's name in front (the command line).
class StreamReporter : public Reporter {
public:
    explicit StreamReporter(std::ostream& stream) : stream_(stream) {}
    void Report(const Problem& problem) override { stream_ << "kvxsfx-pack: " << Render(problem) << "\n"; }

private:
    std::ostream& stream_;
};

// Keeps every problem, for callers that show them later (the builder) or
// look at them (tests).
class ProblemList : public Reporter {
public:
    void Report(const Problem& problem) override { problems.push_back(problem); }
    std::vector<Problem> problems;
};

}  // namespace pack
