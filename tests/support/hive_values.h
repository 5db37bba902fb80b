// Hive values as the store holds them, for tests: texts with their
// terminating zero, integers as four little-endian bytes.
#pragma once

#include <cstdint>
#include <string>

#include "core/hive.h"

namespace testing_support {

inline platform::HiveValue sz(const std::string& text, std::uint32_t type = platform::REG_SZ) {
    return {type, text + '\0'};
}

inline platform::HiveValue expandSz(const std::string& text) {
    return sz(text, platform::REG_EXPAND_SZ);
}

inline platform::HiveValue dword(std::uint32_t n) {
    std::string data(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) data[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return {platform::REG_DWORD, data};
}

}  // namespace testing_support
