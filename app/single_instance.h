// One running program per user and display: the first start holds a lock and
// listens on a local socket; a later start hands its request to the first one
// and ends.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;

class SingleInstance {
public:
    // The lock and socket live in `dir` under names made from `key`.
    SingleInstance(const QString& dir, const QString& key);
    // Releases the lock and stops listening.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The directory for this user: $XDG_RUNTIME_DIR, or a private folder in
    // the temporary directory when that is not set.
    static QString DefaultDir();
    // The display this process shows on, as a file-name part: the Wayland
    // display, else the X display without its screen, else "none".
    static QString DefaultKey();

    // Takes the lock. True when this process is the one instance (it then
    // listens for requests; a lock or socket left by a process that died
    // does not get in the way); false when another instance holds the lock.
    // A lock that cannot be made at all does not stop the start: true.
    bool Acquire();

    // Hands `request` (one line, no line feed) to the running instance and
    // waits up to timeoutMs for it to confirm. False when none answered.
    bool Send(const QByteArray& request, int timeoutMs);

    // Called from the message loop with each request a later start sends.
    std::function<void(const QByteArray& request)> OnRequest;

    QString LockPath() const { return dir_ + "/postwren-" + key_ + ".lock"; }
    QString SocketPath() const { return dir_ + "/postwren-" + key_ + ".socket"; }

private:
    QString dir_;
    QString key_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};
