// Looks for a password in a settings file in every form it could take there:
// its CP932 bytes and their UTF-8, the scrambled bytes and their UTF-8, and
// the hex form the hive writes for each ("xx,xx,...", lines joined).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "settings/settings_store.h"

namespace testing_support {

inline std::string hexForm(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        if (!out.empty())
            out += ',';
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

// The text with the hive's wrapped hex lines joined and all blanks gone, so
// a hex form split over lines is found whole.
inline std::string joinedText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            continue;
        }
        if (text[i] != ' ')
            out += text[i];
    }
    return out;
}

// The first form of `password` (CP932) found in `fileText`, named; nullopt
// when there is none.
inline std::optional<std::string> passwordFormIn(const std::string& fileText, const AnsiString& password) {
    const AnsiString scrambled = ScramblePassword(password, DefaultScrambleKey);
    std::vector<std::pair<std::string, std::string>> forms = {{"plain", password},
                                                              {"scrambled", scrambled},
                                                              {"hex", hexForm(password)},
                                                              {"scrambled hex", hexForm(scrambled)}};
    if (const auto utf8 = TryCp932ToUtf8(password)) {
        forms.emplace_back("UTF-8", *utf8);
        forms.emplace_back("UTF-8 hex", hexForm(*utf8));
    }
    if (const auto utf8 = TryCp932ToUtf8(scrambled))
        forms.emplace_back("scrambled UTF-8", *utf8);
    const std::string joined = joinedText(fileText);
    for (const auto& [name, form] : forms) {
        if (form.empty())
            continue;
        if (fileText.find(form) != std::string::npos || joined.find(form) != std::string::npos)
            return name;
    }
    return std::nullopt;
}

}  // namespace testing_support
