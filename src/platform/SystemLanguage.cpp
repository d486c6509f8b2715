#include "platform/SystemLanguage.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

uint16_t LanguageIdForLocale(const char* locale) {
    struct Mapping { const char* prefix; uint16_t id; };
    static const Mapping kChinese[] = {
        {"zh_CN", 2052}, {"zh_TW", 1028}, {"zh_HK", 3076}, {"zh_SG", 4100}, {"zh_MO", 5124},
    };
    if (locale == nullptr) return 1033;
    for (const Mapping& m : kChinese) {
        std::size_t n = std::strlen(m.prefix);
        // "zh_TW" alone or followed by a codeset or modifier ("zh_TW.UTF-8").
        if (std::strncmp(locale, m.prefix, n) == 0 &&
            (locale[n] == '\0' || locale[n] == '.' || locale[n] == '@'))
            return m.id;
    }
    return 1033;
}

uint16_t GetSystemDefaultLangID() {
    // The first of these that is set and not empty decides, as for setlocale.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return LanguageIdForLocale(value);
    }
    return 1033;
}
