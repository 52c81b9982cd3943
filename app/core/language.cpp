#include "language.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tavorin {
namespace {

std::atomic<Language> g_language{Language::Japanese};

}  // namespace

Language languageOf(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (!value || !*value) continue;
        // "en", or "en" followed by a territory, code set or modifier.
        const bool english =
            std::strncmp(value, "en", 2) == 0 && (value[2] == '\0' || std::strchr("_.@", value[2]));
        return english ? Language::English : Language::Japanese;
    }
    return Language::Japanese;
}

void setLanguage(Language language) {
    g_language.store(language);
}

Language language() {
    return g_language.load();
}

QString localized(const Text& text) {
    if (language() == Language::English && text.en) return QString::fromUtf8(text.en);
    return text.ja ? QString::fromUtf16(text.ja) : QString();
}

}  // namespace tavorin
