// A socket layer with no network behind it, for driving a whole program
// through failures a real loopback cannot produce on cue: every connect fails
// the way the system reports a failed connect (FD_CONNECT with an error),
// every host name look-up fails, and socket creation fails when told to.
// Records what was asked of it. GUI thread only.
#pragma once

#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include "core/message_window.h"
#include "core/socket.h"

class UnreachableSockets final : public platform::SocketApi {
public:
    // The error each connect's FD_CONNECT carries, and each look-up's completion.
    int connectError = platform::WSAECONNREFUSED;
    int lookupError = platform::WSAHOST_NOT_FOUND;
    // CreateStreamSocket fails with WSAEMFILE.
    bool failCreate = false;

    // Every connect's address and every looked-up name, in order.
    std::vector<platform::SockAddrIn> connects;
    std::vector<std::string> lookups;

    int LiveSockets() const { return static_cast<int>(sockets_.size()); }

    bool Startup() override { return true; }
    void Cleanup() override {}

    platform::SOCKET CreateStreamSocket() override {
        if (failCreate) {
            lastError_ = platform::WSAEMFILE;
            return platform::INVALID_SOCKET;
        }
        const platform::SOCKET s = nextSocket_++;
        sockets_[s] = Selection{};
        return s;
    }
    int SetLinger(platform::SOCKET s, bool, std::uint16_t) override { return known(s) ? 0 : notSocket(); }
    int AsyncSelect(platform::SOCKET s, platform::HWND window, platform::UINT msg, long events) override {
        if (!known(s))
            return notSocket();
        sockets_[s] = Selection{window, msg, events};
        return 0;
    }
    int Connect(platform::SOCKET s, const platform::SockAddrIn& address) override {
        if (!known(s))
            return notSocket();
        connects.push_back(address);
        const Selection& sel = sockets_[s];
        if ((sel.events & platform::FD_CONNECT) != 0)
            platform::PostMessage(sel.window, sel.msg, s,
                                  platform::MakeLong(static_cast<std::uint16_t>(platform::FD_CONNECT),
                                                     static_cast<std::uint16_t>(connectError)));
        lastError_ = platform::WSAEWOULDBLOCK;
        return platform::SOCKET_ERROR;
    }
    int Send(platform::SOCKET, const char*, int) override { return notConnected(); }
    int Recv(platform::SOCKET, char*, int) override { return notConnected(); }
    int CloseSocket(platform::SOCKET s) override { return sockets_.erase(s) == 1 ? 0 : notSocket(); }
    int LastError() const override { return lastError_; }

    std::uint32_t InetAddr(const std::string& text) override {
        in_addr parsed{};
        return ::inet_pton(AF_INET, text.c_str(), &parsed) == 1 ? parsed.s_addr : platform::kInaddrNone;
    }
    platform::LookupHandle AsyncGetHostByName(platform::HWND window, platform::UINT msg, const std::string& name,
                                              std::shared_ptr<platform::HostEntry>) override {
        lookups.push_back(name);
        const platform::LookupHandle handle = nextLookup_++;
        platform::PostMessage(window, msg, handle, platform::MakeLong(0, static_cast<std::uint16_t>(lookupError)));
        return handle;
    }
    int CancelAsyncRequest(platform::LookupHandle) override { return 0; }

private:
    struct Selection {
        platform::HWND window = 0;
        platform::UINT msg = 0;
        long events = 0;
    };

    bool known(platform::SOCKET s) const { return sockets_.count(s) != 0; }
    int notSocket() {
        lastError_ = platform::WSAENOTSOCK;
        return platform::SOCKET_ERROR;
    }
    int notConnected() {
        lastError_ = platform::WSAENOTCONN;
        return platform::SOCKET_ERROR;
    }

    std::map<platform::SOCKET, Selection> sockets_;
    platform::SOCKET nextSocket_ = 1;
    platform::LookupHandle nextLookup_ = 1;
    int lastError_ = 0;
};
