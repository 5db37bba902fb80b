// Fuzz target for the POP3 client's reading of a server: the input is all
// that the server sends on the first connection (cut into reads of a size
// its first byte picks), then the server closes; every later connection
// (the capability probe after a refusal) closes at once. Whatever comes, the
// check must end with a count or with a failure whose report is bounded,
// shows no control byte and never shows the password, and nothing may crash,
// overrun or leak.
#include <arpa/inet.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "core/clock.h"
#include "core/exception.h"
#include "core/message_window.h"
#include "core/socket.h"
#include "net/check_failure.h"
#include "net/kxpop3.h"
#include "net/report_text.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "pop3 reply fuzz: %s\n", what);
        std::abort();
    }
}

constexpr char kPassword[] = "S3cr3tMark";

using namespace platform;

// A socket layer whose one server plays back the input.
class PlaybackSockets final : public SocketApi {
public:
    PlaybackSockets(std::string served, std::size_t readSize) : served_(std::move(served)), readSize_(readSize) {}

    bool Startup() override { return true; }
    void Cleanup() override {}
    SOCKET CreateStreamSocket() override {
        const SOCKET s = next_++;
        sockets_[s] = Socket{};
        return s;
    }
    int SetLinger(SOCKET, bool, std::uint16_t) override { return 0; }
    int AsyncSelect(SOCKET s, HWND window, UINT msg, long events) override {
        Socket& socket = sockets_.at(s);
        socket.window = window;
        socket.msg = msg;
        socket.events = events;
        return 0;
    }
    int Connect(SOCKET s, const SockAddrIn&) override {
        Socket& socket = sockets_.at(s);
        // The first connection is the server's; the probe gets nothing.
        if (connections_++ == 0)
            socket.pending = served_;
        notify(s, FD_CONNECT);
        notify(s, FD_WRITE);
        // The server's first bytes come at a later turn of the loop than the
        // connect, as they do from a real socket.
        QTimer::singleShot(1, &context_, [this, s] {
            if (const auto it = sockets_.find(s); it != sockets_.end())
                notify(s, it->second.pending.empty() ? FD_CLOSE : FD_READ);
        });
        lastError_ = WSAEWOULDBLOCK;
        return SOCKET_ERROR;
    }
    int Send(SOCKET, const char*, int len) override { return len; }
    int Recv(SOCKET s, char* data, int len) override {
        Socket& socket = sockets_.at(s);
        if (socket.pending.empty())
            return 0;
        const std::size_t n = std::min({socket.pending.size(), readSize_, static_cast<std::size_t>(len)});
        std::copy_n(socket.pending.data(), n, data);
        socket.pending.erase(0, n);
        notify(s, socket.pending.empty() ? FD_CLOSE : FD_READ);
        return static_cast<int>(n);
    }
    int CloseSocket(SOCKET s) override { return sockets_.erase(s) == 1 ? 0 : SOCKET_ERROR; }
    int LastError() const override { return lastError_; }
    std::uint32_t InetAddr(const std::string& text) override {
        in_addr parsed{};
        return ::inet_pton(AF_INET, text.c_str(), &parsed) == 1 ? parsed.s_addr : kInaddrNone;
    }
    LookupHandle AsyncGetHostByName(HWND window, UINT msg, const std::string&, std::shared_ptr<HostEntry>) override {
        PostMessage(window, msg, 1, MakeLong(0, static_cast<std::uint16_t>(WSAHOST_NOT_FOUND)));
        return 1;
    }
    int CancelAsyncRequest(LookupHandle) override { return 0; }

    int Live() const { return static_cast<int>(sockets_.size()); }

private:
    struct Socket {
        HWND window = 0;
        UINT msg = 0;
        long events = 0;
        std::string pending;
    };

    void notify(SOCKET s, long event) {
        const Socket& socket = sockets_.at(s);
        if ((socket.events & event) != 0)
            PostMessage(socket.window, socket.msg, s, MakeLong(static_cast<std::uint16_t>(event), 0));
    }

    QObject context_;
    std::string served_;
    std::size_t readSize_;
    std::map<SOCKET, Socket> sockets_;
    SOCKET next_ = 1;
    int connections_ = 0;
    int lastError_ = 0;
};

std::string lowerWithoutControls(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F)
            out += static_cast<char>(b < 0x80 ? std::tolower(b) : b);
    }
    return out;
}

void checkShownText(const std::string& text) {
    const std::string seen = lowerWithoutControls(text);
    check(seen.find("s3cr3tmark") == std::string::npos, "the password shows");
    check(seen.find("5333637233744d61726b") == std::string::npos, "the password shows in hex");
    check(text.find("UzNjcjN0TWFyaw") == std::string::npos, "the password shows in base64");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t readSize = 1 + data[0] % 64;
    PlaybackSockets sockets(std::string(reinterpret_cast<const char*>(data + 1), size - 1), readSize);
    const SteadyClock clock;
    {
        TKxPOP3 client(nullptr, sockets, clock);
        client.SetHost("127.0.0.1");
        client.SetUserID("alice");
        client.SetPassword(kPassword);
        client.SetTimeOut(10000);
        try {
            client.Connect();
            check(client.MessageCount() >= 0, "a negative count");
            client.Disconnect();
        } catch (const ECheckFailure& e) {
            checkShownText(e.Message());
            checkShownText(e.ServerReply());
            const FailureReport report = DescribeFailure(e);
            check(report.server.size() <= kMaxReportTextBytes, "the server's text is not bounded");
            check(report.text.size() < 4096, "the report is not bounded");
            for (const char c : report.text)
                check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "a control byte");
        } catch (const Exception& e) {
            const FailureReport report = DescribeFailure(e);
            check(report.text.size() < 4096, "the report is not bounded");
        }
    }
    check(sockets.Live() == 0, "a socket was left open");
    // Whatever the session queued for its window goes with it.
    QCoreApplication::processEvents();
    return 0;
}
