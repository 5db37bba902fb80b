// The desktop's "open" action: start a program, or hand a document or an
// address to the desktop's opener.
#pragma once

#include <QString>
#include <QStringList>

namespace platform {

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
// otherwise), started in a session of its own; the call waits up to
// `verdictMs` for the opener's answer: a non-zero exit is a refusal, an
// opener still running then counts as success and is reaped later.
class DesktopShell final : public ShellService {
public:
    explicit DesktopShell(QString opener = QStringLiteral("xdg-open"), int verdictMs = 1500);
    ~DesktopShell() override;
    DesktopShell(const DesktopShell&) = delete;
    DesktopShell& operator=(const DesktopShell&) = delete;

    int Open(const QString& target) override;

private:
    int openWithOpener(const QString& target);

    QString opener_;
    int verdictMs_;
};

}  // namespace platform
