// A POP3 server for protocol tests: it listens on a loopback port and plays a
// table of expected command lines and replies, one script per connection, and
// records every line the client sent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// One step of a connection's script.
struct ScriptStep {
    enum class Kind {
        Send,    // send `data` at once (the greeting, or a reply without a command)
        Expect,  // read one line, check it is `line` + CR LF, then send `data`
        Close,   // close the connection
        Hang,    // send nothing more; keep the connection open until the client closes it
        Stream,  // send `data` over and over until the client closes the connection
        Pause,   // go on only once Resume() has been called (one call per pause)
    };
    Kind kind = Kind::Send;
    std::string line;
    std::string data;
};

inline ScriptStep Send(std::string data) {
    return {ScriptStep::Kind::Send, {}, std::move(data)};
}
inline ScriptStep Expect(std::string line, std::string reply) {
    return {ScriptStep::Kind::Expect, std::move(line), std::move(reply)};
}
inline ScriptStep Close() {
    return {ScriptStep::Kind::Close, {}, {}};
}
inline ScriptStep Hang() {
    return {ScriptStep::Kind::Hang, {}, {}};
}
inline ScriptStep Stream(std::string chunk) {
    return {ScriptStep::Kind::Stream, {}, std::move(chunk)};
}

inline ScriptStep Pause() {
    return {ScriptStep::Kind::Pause, {}, {}};
}

using Script = std::vector<ScriptStep>;

// Serves the scripts added with AddSession to successive connections, in
// order, on its own thread with blocking sockets. A line that does not match
// its Expect step, and every line after the script has run out, is recorded
// and answered "-ERR unexpected"; the session then ends when the client
// closes. Connections beyond the added scripts are closed at once.
// All member functions may be called from any thread; the destructor stops
// the server and closes every socket (a Hang or Stream step ends there).
class ScriptedPop3Server {
public:
    // Listens on 127.0.0.1 at a free port. Throws std::runtime_error when the
    // socket cannot be made.
    ScriptedPop3Server();
    ~ScriptedPop3Server();
    ScriptedPop3Server(const ScriptedPop3Server&) = delete;
    ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

    int Port() const { return port_; }

    // Queues the script for the next connection not yet served.
    void AddSession(Script script);

    // Every line the client sent in session `index` (0-based), each with its
    // line end as received. Empty for a session that has not started.
    std::vector<std::string> Lines(int index = 0) const;
    // Lines that did not match their Expect step, in session `index`.
    std::vector<std::string> Mismatches(int index = 0) const;
    // Connections accepted so far.
    int Connections() const;
    // Bytes sent by a Stream step in session `index`.
    std::uint64_t StreamedBytes(int index = 0) const;

    // Waits until session `index` has ended (the client closed the connection,
    // or the script closed it). False when the deadline passes first.
    bool WaitSessionEnded(int index, std::chrono::milliseconds deadline) const;

    // Lets the script waiting at a Pause step (or the next one to reach one) go on.
    void Resume();

    // A loopback port on which nothing listens: connecting is refused.
    static int UnusedPort();

private:
    struct Session {
        Script script;
        std::vector<std::string> lines;
        std::vector<std::string> mismatches;
        std::uint64_t streamed = 0;
        bool started = false;
        bool ended = false;
    };

    void run();
    void serve(int fd, int index);
    // Reads one line (up to LF) into `line`. False on close, error or stop.
    bool readLine(int fd, std::string& pending, std::string& line);
    bool sendAll(int fd, const std::string& data);
    void recordLine(int index, const std::string& line, bool mismatch);
    void endSession(int index);

    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Session> sessions_;
    int connections_ = 0;
    int resumes_ = 0;
    bool stop_ = false;
};

}  // namespace testing_support
