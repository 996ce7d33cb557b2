// The user's language on Linux: glibc's gettext, from the locale, with the
// catalogue installed beside the program (share/locale).
#include <libintl.h>

#include <clocale>
#include <sys/stat.h>

#include "messages.h"

namespace pack {

static const char Domain[] = "kvxsfx-pack";

const char* Tr(const char* english)
{
    return dgettext(Domain, english);
}

const char* TrPlural(const char* one, const char* many, uint64_t n)
{
    return dngettext(Domain, one, many, (unsigned long)n);
}

void ChooseLanguage(const std::vector<std::string>& localeDirs)
{
    // Only the language and the character encoding come from the
    // environment: numbers keep their decimal point ("2.9 MB") everywhere.
    std::setlocale(LC_MESSAGES, "");
    std::setlocale(LC_CTYPE, "");
    for (const std::string& dir : localeDirs) {
        struct stat s;
        if (stat((dir + "/ja/LC_MESSAGES/" + Domain + ".mo").c_str(), &s) == 0) {
            bindtextdomain(Domain, dir.c_str());
            break;
        }
    }
    // The packer speaks UTF-8 whatever the locale's own encoding.
    bind_textdomain_codeset(Domain, "UTF-8");
}

void UseJapanese() {}

}  // namespace pack
