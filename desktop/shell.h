// The desktop's "open" action: start a program, or hand a document or an
// address to the desktop's opener.
#pragma once

#include <QString>
#include <QStringList>

namespace platform {

class Log;

// Results of an open. Anything above kShellOpenFailureMax is success.
constexpr int kShellOpenFailureMax = 32;
constexpr int SE_ERR_FNF = 2;            // the file does not exist (or the name is empty)
constexpr int SE_ERR_ACCESSDENIED = 5;   // the file exists but cannot be read
constexpr int SE_ERR_BADFORMAT = 11;     // an executable file that cannot be started
constexpr int SE_ERR_NOASSOC = 31;       // the opener is missing or refused the file
constexpr int kShellOpenSucceeded = 42;  // what a successful open returns

// Opens files and addresses the way the desktop does. Callers take a result
// above kShellOpenFailureMax as success. GUI thread only.
class ShellService {
public:
    virtual ~ShellService() = default;
    // `target` is a file path (absolute, or relative to the current folder) or
    // an address with a scheme ("https://..."). Never throws.
    virtual int Open(const QString& target) = 0;
};

// The real service. An executable regular file starts detached (no shell,
// no arguments, the current folder as its folder). Anything else that exists,
// and any address, goes to the opener program (xdg-open unless told
// otherwise), started in a session of its own.
//
// Open never waits for the opener, which may take its time or run as long as
// the program it opens: its result says only what is known at once. The
// opener started: kShellOpenSucceeded. It could not be started (missing, not
// executable): SE_ERR_NOASSOC. How the opener ends arrives later through the
// event loop; an opener that ends with a non-zero status or a signal (it
// refused the target) is reported in the log, and every opener is
// reaped then, so none is left a zombie. GUI thread only; the reaping needs
// the QCoreApplication's event loop.
class DesktopShell final : public ShellService {
public:
    // Refusals go to `log`, which must outlive every opener still running.
    explicit DesktopShell(Log& log, QString opener = QStringLiteral("xdg-open"));
    ~DesktopShell() override;
    DesktopShell(const DesktopShell&) = delete;
    DesktopShell& operator=(const DesktopShell&) = delete;

    int Open(const QString& target) override;

private:
    int openWithOpener(const QString& target);

    Log& log_;
    QString opener_;
};

}  // namespace platform
