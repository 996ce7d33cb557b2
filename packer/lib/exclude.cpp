// --exclude: glob patterns in the manner of tar and rsync.  A pattern without
// '/' matches a name at any depth; one with '/' matches the path below the
// input folder; '*' and '?' stay within a name, '**' spans folders ('**/'
// also none), [abc], [a-z] and [!abc] are classes; a trailing '/' matches
// folders only.  Names compare as UTF-8 characters, letter case folded as
// Windows folds it on Windows, exactly on Linux.
#include <functional>
#include <string>
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

enum Kind { Literal, AnyChar, Star, GlobStar, GlobStarSlash, Class };

struct Token {
    Kind kind;
    char32_t c = 0;
    std::vector<std::pair<char32_t, char32_t>> ranges;  // a class's ranges
    bool negated = false;
};

// Reads a class after its '['; false (and `at` unchanged) when it has no ']'.
bool ReadClass(const std::u32string& p, size_t* at, Token* token)
{
    size_t i = *at;
    token->negated = i < p.size() && (p[i] == '!' || p[i] == '^');
    i += token->negated;
    for (bool first = true; i < p.size() && (p[i] != ']' || first); first = false) {
        const char32_t from = p[i];
        if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
            token->ranges.emplace_back(Fold(from), Fold(p[i + 2]));
            i += 3;
        } else {
            token->ranges.emplace_back(Fold(from), Fold(from));
            i++;
        }
    }
    if (i >= p.size())
        return false;
    *at = i + 1;
    return true;
}

std::vector<Token> Compile(const std::u32string& p)
{
    std::vector<Token> tokens;
    for (size_t i = 0; i < p.size();) {
        Token t{Literal};
        if (p[i] == '*' && i + 1 < p.size() && p[i + 1] == '*') {
            const bool slash = i + 2 < p.size() && p[i + 2] == '/';
            t.kind = slash ? GlobStarSlash : GlobStar;
            i += slash ? 3 : 2;
        } else if (p[i] == '*' || p[i] == '?') {
            t.kind = p[i++] == '*' ? Star : AnyChar;
        } else if (size_t after = i + 1; p[i] == '[' && ReadClass(p, &after, &t)) {
            t.kind = Class;
            i = after;
        } else {
#ifndef _WIN32
            if (p[i] == '\\' && i + 1 < p.size())  // an escaped character stands for itself
                i++;
#endif
            t.c = Fold(p[i++]);
        }
        tokens.push_back(t);
    }
    return tokens;
}

bool InClass(const Token& t, char32_t c)
{
    bool in = false;
    for (const auto& [from, to] : t.ranges)
        in = in || (c >= from && c <= to);
    return in != t.negated;
}

// Whether the tokens match the whole text: matches[i][j] says whether
// tokens[i..] match text[j..], filled from the back, so no pattern can make
// the work grow beyond the product of the two lengths.
bool Matches(const std::vector<Token>& tokens, const std::u32string& text)
{
    const size_t n = text.size();
    std::vector<std::vector<char>> matches(tokens.size() + 1, std::vector<char>(n + 1, 0));
    matches[tokens.size()][n] = 1;
    for (size_t i = tokens.size(); i-- > 0;) {
        const Token& t = tokens[i];
        bool slashAhead = false;  // for '**/': a '/' at some k >= j with tokens[i+1..] matching after it
        for (size_t j = n + 1; j-- > 0;) {
            const bool here = j < n, name = here && text[j] != '/';
            const char32_t c = here ? Fold(text[j]) : 0;
            const bool next = here && matches[i + 1][j + 1];
            switch (t.kind) {
            case Literal: matches[i][j] = here && c == t.c && next; break;
            case AnyChar: matches[i][j] = name && next; break;
            case Class: matches[i][j] = name && InClass(t, c) && next; break;
            case Star: matches[i][j] = matches[i + 1][j] || (name && matches[i][j + 1]); break;
            case GlobStar: matches[i][j] = matches[i + 1][j] || (here && matches[i][j + 1]); break;
            case GlobStarSlash:
                slashAhead = slashAhead || (here && text[j] == '/' && next);
                matches[i][j] = matches[i + 1][j] || slashAhead;
                break;
            }
        }
    }
    return matches[0][0];
}

}  // namespace

std::function<bool(const std::string&, bool)> ExcludeMatcher(const std::string& pattern)
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
    return [tokens = Compile(Decode(p)), directoryOnly, anchored](const std::string& path, bool isDirectory) {
        return (isDirectory || !directoryOnly) &&
               Matches(tokens, Decode(anchored ? path : path.substr(path.rfind('/') + 1)));
    };
}

bool IsExcluded(const std::string& pattern, const std::string& path, bool isDirectory)
{
    return ExcludeMatcher(pattern)(path, isDirectory);
}

}  // namespace pack
