// The user's language on Windows: Japanese where the user's UI language is
// Japanese (the catalogue is compiled into the program: language_embedded.cpp).
#include <windows.h>

#include "messages.h"

namespace pack {

void ChooseLanguage(const std::vector<std::string>&)
{
    if (PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE)
        UseJapanese();
}

}  // namespace pack
