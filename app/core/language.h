// The language of the texts a program shows. The windows always speak
// Japanese; a tool that runs on a terminal may follow the user's locale and
// speak English there. Every text that has both forms keeps them side by
// side, so that a translation can never drift away from its original.
#pragma once

#include <QString>

namespace tavorin {

enum class Language { Japanese, English };

// A text in both languages. `en` may be null: the Japanese text then
// stands in every language.
struct Text {
    const char16_t* ja;
    const char* en = nullptr;
};

// The language the locale's environment asks for: the first of LC_ALL,
// LC_MESSAGES and LANG that is set decides, and only a locale whose language
// is English ("en", "en_GB.UTF-8" ...) gives English. "C", "POSIX", unset
// and every other language keep Japanese.
Language languageOf(const char* lcAll, const char* lcMessages, const char* lang);
// The language the user asked the system for: on Linux the locale's
// environment as above (language_posix.cpp); on Windows the user's display
// language, English only where that is English (language_win32.cpp).
Language languageFromEnvironment();

// The language texts are given in from now on; Japanese until set.
void setLanguage(Language language);
Language language();

// The text in the current language.
QString localized(const Text& text);

}  // namespace tavorin
