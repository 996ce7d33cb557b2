// --exclude: glob patterns in the manner of tar and rsync.  A pattern without
// '/' matches a name at any depth; one with '/' matches the path below the
// input folder; '*' and '?' stay within a name, '**' spans folders ('**/'
// also none), [abc], [a-z] and [!abc] are classes; a trailing '/' matches
// folders only.  Names compare as UTF-8 characters, letter case folded as
// Windows folds it on Windows, exactly on Linux.
//
// Compiling reads each character of a pattern once; matching fills a table of
// the pattern's tokens against the name's characters one row at a time, so
// its time is at most the product of the two lengths and its memory the
// name's length, whatever the pattern.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pack.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace pack {
namespace {

// UTF-8 as code points, strictly (DecodeUtf8).  A byte that begins no
// character stands for itself, apart from every character (least of all
// '/'), and decoding goes on at the next byte.
std::u32string Decode(const std::string& utf8)
{
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t point;
        const int length = DecodeUtf8(utf8, i, &point);
        out += length > 0 ? (char32_t)point : (char32_t)(0xDC00 | (unsigned char)utf8[i]);  // a lone surrogate
        i += length > 0 ? length : 1;
    }
    return out;
}

char32_t Fold(char32_t c)
{
#ifdef _WIN32
    if (c < 0x10000) {
        WCHAR w = (WCHAR)c;
        CharUpperBuffW(&w, 1);
        return w;
    }
#endif
    return c;
}

enum Kind { Literal, AnyChar, Class, Star, GlobStar, GlobStarSlash };

// Literal, AnyChar and Class take one character of a name; the stars take
// any number.
bool TakesOne(Kind kind) { return kind <= Class; }

struct Token {
    Kind kind;
    char32_t c = 0;                 // a literal's character
    size_t first = 0, count = 0;    // a class's ranges in Pattern::ranges
    bool negated = false;
};

struct Pattern {
    std::vector<Token> tokens;
    std::vector<std::pair<char32_t, char32_t>> ranges;  // every class's, one class after another
    size_t width = 0;                                   // the tokens that take one character
};

// Reads a class after its '[' (and its ranges into pattern->ranges); false,
// with nothing kept, when no ']' closes it.  Any ']' past the class's first
// character closes it, the first such one (a range's '-' and end are never
// ']'), so the pattern's last ']' tells at once whether one does: a pattern
// of unclosed '[' is not scanned to its end once for each.
bool ReadClass(const std::u32string& p, size_t lastClose, size_t* at, Token* token, Pattern* pattern,
               uint64_t* steps)
{
    size_t i = *at;
    const bool negated = i < p.size() && (p[i] == '!' || p[i] == '^');
    i += negated;
    if (lastClose == std::u32string::npos || lastClose <= i)
        return false;
    token->negated = negated;
    token->first = pattern->ranges.size();
    for (bool first = true; p[i] != ']' || first; first = false, ++*steps) {
        const char32_t from = p[i];
        if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
            pattern->ranges.emplace_back(Fold(from), Fold(p[i + 2]));
            i += 3;
        } else {
            pattern->ranges.emplace_back(Fold(from), Fold(from));
            i++;
        }
    }
    token->count = pattern->ranges.size() - token->first;
    *at = i + 1;
    return true;
}

// Adds a token; a star next to a star becomes one, which matches the same
// names: '*' '*' is '*', '**/' '**/' is '**/', and '**' with any star is '**'.
void Append(const Token& token, Pattern* pattern)
{
    if (!TakesOne(token.kind) && !pattern->tokens.empty() && !TakesOne(pattern->tokens.back().kind)) {
        Kind& last = pattern->tokens.back().kind;
        if (last == token.kind || last == GlobStar || token.kind == GlobStar) {
            last = last == token.kind ? last : GlobStar;
            return;
        }
    }
    pattern->width += TakesOne(token.kind);
    pattern->tokens.push_back(token);
}

Pattern Compile(const std::u32string& p, uint64_t* steps)
{
    Pattern pattern;
    const size_t lastClose = p.rfind(']');
    for (size_t i = 0; i < p.size(); ++*steps) {
        Token t{Literal};
        if (p[i] == '*' && i + 1 < p.size() && p[i + 1] == '*') {
            const bool slash = i + 2 < p.size() && p[i + 2] == '/';
            t.kind = slash ? GlobStarSlash : GlobStar;
            i += slash ? 3 : 2;
        } else if (p[i] == '*' || p[i] == '?') {
            t.kind = p[i++] == '*' ? Star : AnyChar;
        } else if (size_t after = i + 1; p[i] == '[' && ReadClass(p, lastClose, &after, &t, &pattern, steps)) {
            t.kind = Class;
            i = after;
        } else {
#ifndef _WIN32
            if (p[i] == '\\' && i + 1 < p.size())  // an escaped character stands for itself
                i++;
#endif
            t.c = Fold(p[i++]);
        }
        Append(t, &pattern);
    }
    return pattern;
}

bool InClass(const Pattern& pattern, const Token& t, char32_t c, uint64_t* steps)
{
    bool in = false;
    for (size_t k = t.first; k < t.first + t.count && !in; k++, ++*steps)
        in = c >= pattern.ranges[k].first && c <= pattern.ranges[k].second;
    return in != t.negated;
}

// Whether the pattern matches the whole text.  Row i of a table says, for
// each place j, whether tokens[i..] match text[j..]; rows are filled from the
// last token back, each from the one after it.  The tokens before i take
// `before` characters at least and those from i on the rest of the width, so
// only places before .. before + room can matter, where room is what the text
// has beyond the width: a row holds those places, indexed from `before`
// (and one more, never set, past them).
bool Matches(const Pattern& pattern, const std::u32string& text, uint64_t* steps)
{
    const size_t n = text.size();
    if (pattern.width > n)
        return false;
    std::u32string folded = text;
    for (char32_t& c : folded)
        c = Fold(c);
    *steps += n;
    const size_t room = n - pattern.width;
    std::vector<char> next(room + 2, 0), row(room + 2, 0);
    next[room] = 1;  // no tokens left: only the text's end
    size_t before = pattern.width;
    for (size_t i = pattern.tokens.size(); i-- > 0;) {
        const Token& t = pattern.tokens[i];
        before -= TakesOne(t.kind);
        bool slashAhead = false;  // for '**/': a '/' at some k >= j with tokens[i+1..] matching after it
        for (size_t d = room + 1; d-- > 0;) {
            const size_t j = before + d;
            const bool here = j < n, name = here && text[j] != '/';
            // A token that takes one character goes on at j + 1, which is
            // place d of the next row as well: its `before` is one more.
            switch (t.kind) {
            case Literal: row[d] = here && folded[j] == t.c && next[d]; break;
            case AnyChar: row[d] = name && next[d]; break;
            case Class: row[d] = name && next[d] && InClass(pattern, t, folded[j], steps); break;
            case Star: row[d] = next[d] || (name && row[d + 1]); break;
            case GlobStar: row[d] = next[d] || (here && row[d + 1]); break;
            case GlobStarSlash:
                slashAhead = slashAhead || (here && text[j] == '/' && next[d + 1]);
                row[d] = next[d] || slashAhead;
                break;
            }
        }
        *steps += room + 1;
        std::swap(row, next);
    }
    return next[0];
}

}  // namespace

std::function<bool(const std::string&, bool)> ExcludeMatcher(const std::string& pattern, uint64_t* steps)
{
    std::string p = pattern;
#ifdef _WIN32
    for (char& c : p)
        c = c == '\\' ? '/' : c;
#endif
    const bool directoryOnly = p.size() > 1 && p.back() == '/';
    if (directoryOnly)
        p.pop_back();
    const bool anchored = p.find('/') != std::string::npos;
    if (!p.empty() && p[0] == '/')
        p.erase(0, 1);
    if (p.empty())
        return [](const std::string&, bool) { return false; };
    uint64_t compiling = 0;
    Pattern compiled = Compile(Decode(p), &compiling);
    if (steps != nullptr)
        *steps += compiling + pattern.size();
    return [compiled = std::move(compiled), directoryOnly, anchored, steps](const std::string& path, bool isDirectory) {
        if (!isDirectory && directoryOnly)
            return false;
        const std::string name = anchored ? path : path.substr(path.rfind('/') + 1);
        uint64_t matching = name.size();
        const bool matches = Matches(compiled, Decode(name), &matching);
        if (steps != nullptr)
            *steps += matching;
        return matches;
    };
}

bool IsExcluded(const std::string& pattern, const std::string& path, bool isDirectory, uint64_t* steps)
{
    return ExcludeMatcher(pattern, steps)(path, isDirectory);
}

}  // namespace pack
