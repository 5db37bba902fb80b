// Window-message numbers and parameter types shared by the message windows
// and everything that posts to them.
#pragma once

#include <cstdint>

namespace platform {

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HWND = std::uintptr_t;  // 0 is "no window"

constexpr UINT WM_ACTIVATEAPP = 0x001C;
constexpr UINT WM_NCHITTEST = 0x0084;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_USER = 0x0400;

constexpr std::uint16_t LoWord(LPARAM v) {
    return static_cast<std::uint16_t>(static_cast<std::uintptr_t>(v) & 0xFFFF);
}
constexpr std::uint16_t HiWord(LPARAM v) {
    return static_cast<std::uint16_t>((static_cast<std::uintptr_t>(v) >> 16) & 0xFFFF);
}
constexpr LPARAM MakeLong(std::uint16_t lo, std::uint16_t hi) {
    return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}

}  // namespace platform
