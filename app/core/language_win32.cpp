// On Windows the locale variables of a Unix shell mean nothing to the
// system; the user's display language is what every program's texts
// follow.
#include <windows.h>

#include "language.h"

namespace tavorin {

Language languageFromEnvironment() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_ENGLISH ? Language::English
                                                                     : Language::Japanese;
}

}  // namespace tavorin
