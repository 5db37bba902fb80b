// A notification area for tests: records every call, keeps what each icon
// shows by the same rules as the desktop's, refuses on cue, and plays the
// desktop's part in mouse activity.
#pragma once

#include <QImage>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/message_window.h"
#include "desktop/tray_service.h"

class FakeTrayService final : public platform::TrayService {
public:
    struct Call {
        platform::DWORD message;
        platform::NOTIFYICONDATAA data;
        bool succeeded;
        QImage icon;  // the picture behind data.hIcon at the time of the call
    };

    bool NotifyIcon(platform::DWORD message, const platform::NOTIFYICONDATAA& data) override {
        const bool ok = !refuseAll && area.Apply(message, data);
        calls.push_back(Call{message, data, ok, platform::IconImage(data.hIcon)});
        return ok;
    }
    platform::POINT CursorPos() const override { return cursor; }

    bool SetIconMenu(platform::HWND hWnd, platform::UINT uID,
                     const std::vector<platform::TrayMenuEntry>& entries) override {
        if (area.Find(hWnd, uID) == nullptr)
            return false;
        menus[{hWnd, uID}] = entries;
        ++menuExports;
        return true;
    }

    bool ShowMessage(platform::HWND hWnd, platform::UINT uID, const std::string& title,
                     const std::string& text) override {
        if (refuseAll || area.Find(hWnd, uID) == nullptr)
            return false;
        messages.push_back(Message{hWnd, uID, title, text});
        return true;
    }

    void SetTrayMissingHandler(std::chrono::milliseconds after, std::function<void()> handler) override {
        missingAfter = after;
        onMissing = std::move(handler);
    }

    // What a tray that shows menus itself does when the user chooses the
    // entry with the given command: posts WM_COMMAND. False when the icon has
    // no such entry.
    bool ChooseMenuEntry(platform::HWND hWnd, platform::UINT uID, platform::UINT command) const {
        auto it = menus.find({hWnd, uID});
        if (it == menus.end())
            return false;
        for (const platform::TrayMenuEntry& e : it->second)
            if (e.command == command && e.caption != "-")
                return platform::PostMessage(hWnd, platform::WM_COMMAND, command, 0);
        return false;
    }

    // What the desktop does when the mouse acts on icon (hWnd, uID): posts the
    // icon's callback message. False when no such icon is shown.
    bool Activate(platform::HWND hWnd, platform::UINT uID, platform::UINT mouseMessage) const {
        const platform::NOTIFYICONDATAA* shown = area.Find(hWnd, uID);
        if (shown == nullptr || (shown->uFlags & platform::NIF_MESSAGE) == 0)
            return false;
        return platform::PostMessage(hWnd, shown->uCallbackMessage, uID, static_cast<platform::LPARAM>(mouseMessage));
    }

    int CountOf(platform::DWORD message) const {
        int n = 0;
        for (const Call& c : calls) n += c.message == message ? 1 : 0;
        return n;
    }
    const Call* Last(platform::DWORD message) const {
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->message == message)
                return &*it;
        return nullptr;
    }

    struct Message {
        platform::HWND hWnd;
        platform::UINT uID;
        std::string title;
        std::string text;
    };

    std::vector<Call> calls;
    // The menus handed over, by icon, and how many times one was.
    std::map<platform::NotifyIconTable::Key, std::vector<platform::TrayMenuEntry>> menus;
    int menuExports = 0;
    std::vector<Message> messages;
    std::chrono::milliseconds missingAfter{0};
    std::function<void()> onMissing;
    platform::NotifyIconTable area;
    platform::POINT cursor;
    // Every operation fails, as with no notification area at all.
    bool refuseAll = false;
};
