// One running program per user and display: the first start holds a lock and
// listens on a local socket; a later start hands its request to the first one
// and ends. The lock and socket live only in a folder this user owns and no
// one else may enter, so another user can neither stop a start nor receive
// its requests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QLocalServer;
class QLocalSocket;

// What one connection to the instance socket may say: one request line, at
// most kMaxRequestBytes before its line feed. Nothing after that line is
// read, and a connection that sends more without a line feed is refused, so
// a client that writes without end costs no more than this.
class InstanceRequestReader {
public:
    static constexpr int kMaxRequestBytes = 256;
    enum class State {
        Reading,  // no line feed yet
        Done,     // Request() is the request
        Refused,  // too long without a line feed
    };

    // How many bytes it takes now: none once Done or Refused.
    int Room() const;
    // Takes the bytes that arrived, at most Room() of them (the rest is not
    // looked at); the state after them.
    State Take(const QByteArray& bytes);
    State Current() const { return state_; }
    // Once Done: the line without its line feed and the blanks around it.
    const QByteArray& Request() const { return request_; }

private:
    QByteArray buffer_;
    QByteArray request_;
    State state_ = State::Reading;
};

// A folder the lock may go to; a fallback folder is made when missing.
struct GuardDir {
    QString path;
    bool make = false;
};

class SingleInstance {
public:
    // The lock and socket live in `dir` under names made from `key`. `dir`
    // is used as given; GuardStart checks it first.
    SingleInstance(const QString& dir, const QString& key);
    // Releases the lock and stops listening.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The folders to try for this user, in order: $XDG_RUNTIME_DIR when set,
    // then a few folders named after the user id in the temporary directory
    // (made on first use), then one named after the machine in the user's
    // cache folder ($XDG_CACHE_HOME, or ~/.cache), where no other user can
    // have made anything first. Every start of the same user and environment
    // tries the same ones in the same order.
    static std::vector<GuardDir> DefaultDirs();
    // The display this process shows on, as a file-name part: the Wayland
    // display, else the X display without its screen, else "none".
    static QString DefaultKey();

    // True when `dir` is a folder (not a link) owned by this user that no one
    // else may read, write or enter (a made one: mode 0700 exactly). With
    // `make`, a missing folder is made first, mode 0700. Otherwise false, and
    // `why` says what is wrong in a few words.
    static bool IsPrivateDir(const QString& dir, bool make, QString& why);

    enum class LockResult {
        Taken,          // this process is the one instance and listens for requests
        HeldByAnother,  // a running instance holds the lock
        Unavailable,    // no lock can be made here (see LockError)
    };
    // Takes the lock. A lock or socket left by a process that died does not
    // get in the way.
    LockResult Acquire();
    // Why the lock could not be made, or the socket not listened on.
    QString LockError() const { return lockError_; }
    // After Taken: whether later starts can reach this one.
    bool Listening() const;

    // Hands `request` (one line, no line feed) to the running instance and
    // waits up to timeoutMs for it to confirm, trying again while none has
    // answered. False when none answered in time.
    bool Send(const QByteArray& request, int timeoutMs);

    // Called from the message loop with the request a later start sends. A
    // connection carries one request; one that arrives while the last is
    // still queued or OnRequest still runs for it is answered but dropped.
    // Connections are taken at most kMaxConnectionsPerSecond a second and
    // kMaxOpenConnections at a time, and each must send its request within
    // kRequestWaitMs; others are closed unanswered.
    std::function<void(const QByteArray& request)> OnRequest;
    static constexpr int kMaxConnectionsPerSecond = 8;
    static constexpr int kMaxOpenConnections = 4;
    static constexpr int kRequestWaitMs = 2000;

    QString LockPath() const { return dir_ + "/postwren-" + key_ + ".lock"; }
    QString SocketPath() const { return dir_ + "/postwren-" + key_ + ".socket"; }

private:
    void listen();
    void accept(QLocalSocket* peer);
    void deliver(const QByteArray& request);

    QString dir_;
    QString key_;
    int lockFd_ = -1;
    QString lockError_;
    std::unique_ptr<QLocalServer> server_;
    // Connections taken in the second that began at secondStartMs_.
    qint64 secondStartMs_ = -1;
    int connectionsThisSecond_ = 0;
    // A request waits in the queue, or OnRequest runs for it.
    bool requestBusy_ = false;
};

// What a start does about other instances of the same user and display.
struct GuardedStart {
    enum class Verdict {
        Run,         // no other instance runs: go on (guarded when `instance` is set)
        HandedOver,  // a running instance took the request: end
        NoAnswer,    // a running instance holds `heldLock` but did not answer
    };
    Verdict verdict = Verdict::Run;
    // The lock this process holds while it runs; null when it runs unguarded.
    std::unique_ptr<SingleInstance> instance;
    QString heldLock;
    // What the user should read on standard error, one line each.
    QStringList warnings;
};

// Tries `dirs` in order and skips every one that is not private to this user. In the first that is, a
// running instance gets `request` (waiting up to timeoutMs). Where no lock can
// be made, an instance listening there is still asked; otherwise the next
// folder is tried. With none left the start runs unguarded, with a warning.
GuardedStart GuardStart(const std::vector<GuardDir>& dirs, const QString& key, const QByteArray& request,
                        int timeoutMs);
