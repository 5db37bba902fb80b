#include "tests/support/scripted_pop3_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testing_support {

namespace {

// How often a blocked socket wait looks at the stop flag.
constexpr int kPollSliceMs = 20;
constexpr char kUnexpectedReply[] = "-ERR unexpected\r\n";

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int boundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

}  // namespace

ScriptedPop3Server::ScriptedPop3Server() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error("socket failed");
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = loopback(0);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 8) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("bind/listen failed");
    }
    port_ = boundPort(listenFd_);
    thread_ = std::thread([this] { run(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    ::close(listenFd_);
}

void ScriptedPop3Server::AddSession(Script script) {
    std::lock_guard lock(mutex_);
    Session s;
    s.script = std::move(script);
    sessions_.push_back(std::move(s));
}

std::vector<std::string> ScriptedPop3Server::Lines(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(sessions_.size()))
        return {};
    return sessions_[static_cast<size_t>(index)].lines;
}

std::vector<std::string> ScriptedPop3Server::Mismatches(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(sessions_.size()))
        return {};
    return sessions_[static_cast<size_t>(index)].mismatches;
}

int ScriptedPop3Server::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::uint64_t ScriptedPop3Server::StreamedBytes(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(sessions_.size()))
        return 0;
    return sessions_[static_cast<size_t>(index)].streamed;
}

bool ScriptedPop3Server::WaitSessionEnded(int index, std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] {
        return index >= 0 && index < static_cast<int>(sessions_.size()) && sessions_[static_cast<size_t>(index)].ended;
    });
}

void ScriptedPop3Server::Resume() {
    {
        std::lock_guard lock(mutex_);
        ++resumes_;
    }
    changed_.notify_all();
}

int ScriptedPop3Server::UnusedPort() {
    // Bind without listening, note the port and let it go: until someone else
    // takes the port, a connection to it is refused.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr = loopback(0);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        port = boundPort(fd);
    ::close(fd);
    if (port == 0)
        throw std::runtime_error("no free port");
    return port;
}

void ScriptedPop3Server::run() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
        }
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kPollSliceMs) <= 0)
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int index = -1;
        {
            std::lock_guard lock(mutex_);
            index = connections_++;
            if (index < static_cast<int>(sessions_.size()))
                sessions_[static_cast<size_t>(index)].started = true;
        }
        changed_.notify_all();
        if (index < static_cast<int>(sessions_.size()))
            serve(fd, index);
        ::close(fd);
    }
}

void ScriptedPop3Server::serve(int fd, int index) {
    Script script;
    {
        std::lock_guard lock(mutex_);
        script = sessions_[static_cast<size_t>(index)].script;
    }
    std::string pending;
    std::string line;
    bool derailed = false;
    for (const ScriptStep& step : script) {
        if (derailed)
            break;
        switch (step.kind) {
            case ScriptStep::Kind::Send:
                if (!sendAll(fd, step.data))
                    return endSession(index);
                break;
            case ScriptStep::Kind::Expect: {
                if (!readLine(fd, pending, line))
                    return endSession(index);
                const bool matches = line == step.line + "\r\n";
                recordLine(index, line, !matches);
                if (!matches) {
                    derailed = true;
                    if (!sendAll(fd, kUnexpectedReply))
                        return endSession(index);
                    break;
                }
                if (!sendAll(fd, step.data))
                    return endSession(index);
                break;
            }
            case ScriptStep::Kind::Close:
                return endSession(index);
            case ScriptStep::Kind::Pause: {
                bool stopped = false;
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [&] { return stop_ || resumes_ > 0; });
                    stopped = stop_;
                    if (!stopped)
                        --resumes_;
                }
                if (stopped)
                    return endSession(index);
                break;
            }
            case ScriptStep::Kind::Hang:
                while (readLine(fd, pending, line)) recordLine(index, line, false);
                return endSession(index);
            case ScriptStep::Kind::Stream:
                for (;;) {
                    if (!sendAll(fd, step.data))
                        return endSession(index);
                    std::lock_guard lock(mutex_);
                    sessions_[static_cast<size_t>(index)].streamed += step.data.size();
                }
        }
    }
    // The script has run out: whatever else comes is unexpected.
    while (readLine(fd, pending, line)) {
        recordLine(index, line, true);
        if (!sendAll(fd, kUnexpectedReply))
            break;
    }
    endSession(index);
}

bool ScriptedPop3Server::readLine(int fd, std::string& pending, std::string& line) {
    for (;;) {
        const auto lf = pending.find('\n');
        if (lf != std::string::npos) {
            line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            return true;
        }
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            // A last line without its LF still counts as sent.
            if (!pending.empty()) {
                line = pending;
                pending.clear();
                return true;
            }
            return false;
        }
        pending.append(buf, static_cast<size_t>(n));
    }
}

bool ScriptedPop3Server::sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return false;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void ScriptedPop3Server::recordLine(int index, const std::string& line, bool mismatch) {
    {
        std::lock_guard lock(mutex_);
        Session& s = sessions_[static_cast<size_t>(index)];
        s.lines.push_back(line);
        if (mismatch)
            s.mismatches.push_back(line);
    }
    changed_.notify_all();
}

void ScriptedPop3Server::endSession(int index) {
    {
        std::lock_guard lock(mutex_);
        sessions_[static_cast<size_t>(index)].ended = true;
    }
    changed_.notify_all();
}

}  // namespace testing_support
