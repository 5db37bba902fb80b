// A notification area for tests: records every call, keeps what each icon
// shows by the same rules as the desktop's, refuses on cue, and plays the
// desktop's part in mouse activity.
#pragma once

#include <QImage>
#include <string>
#include <vector>

#include "platform/message_window.h"
#include "platform/tray_service.h"

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

    std::vector<Call> calls;
    platform::NotifyIconTable area;
    platform::POINT cursor;
    // Every operation fails, as with no notification area at all.
    bool refuseAll = false;
};
