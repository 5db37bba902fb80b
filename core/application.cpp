#include "core/application.h"

#include <QCoreApplication>
#include <QTimer>

#include "core/exception.h"
#include "core/log.h"
#include "core/text.h"

TApplication* Application = nullptr;

TApplication::TApplication(TComponent* AOwner) : TComponent(AOwner) {
    if (Application == nullptr)
        Application = this;
}

TApplication::~TApplication() {
    DestroyComponents();
    if (Application == this)
        Application = nullptr;
}

void TApplication::SetTitle(const std::string& title) {
    if (title == title_)
        return;
    title_ = title;
    if (OnTitleChange)
        OnTitleChange();
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::HandleException(TObject* Sender) {
    try {
        throw;
    } catch (const Exception& e) {
        if (OnException)
            OnException(Sender, e);
        else
            ShowException(e);
    } catch (const std::exception& e) {
        const Exception wrapped(e.what());
        if (OnException)
            OnException(Sender, wrapped);
        else
            ShowException(wrapped);
    }
}

void ReportHandlerException(TObject* Sender) noexcept {
    try {
        if (Application == nullptr)
            throw;
        Application->HandleException(Sender);
    } catch (const std::exception& e) {
        platform::WriteStandardError(e.what());
    } catch (...) {
        platform::WriteStandardError("a handler failed with an unknown exception");
    }
}

void TApplication::ShowException(const Exception& E) {
    if (ShowExceptionHook) {
        ShowExceptionHook(E);
        return;
    }
    std::string text = Cp932ToUtf8(E.Message());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    platform::WriteStandardError(text);
}

int TApplication::Run() {
    return QCoreApplication::exec();
}

void TApplication::Terminate(int exitCode) {
    QCoreApplication::exit(exitCode);
}

void TApplication::SetOnIdle(TIdleEvent handler) {
    onIdle_ = std::move(handler);
    if (onIdle_)
        scheduleIdle();
}

void TApplication::scheduleIdle() {
    if (idleScheduled_)
        return;
    idleScheduled_ = true;
    // A zero-time timer fires once the queue holds nothing else: the idle moment.
    // It is armed only while someone listens, so an idle program never wakes.
    QTimer::singleShot(0, QCoreApplication::instance(), [this] {
        idleScheduled_ = false;
        if (!onIdle_)
            return;
        bool done = true;
        TIdleEvent handler = onIdle_;
        handler(this, done);
        if (!done && onIdle_)
            scheduleIdle();
    });
}

void TApplication::Minimize() {
    minimized_ = true;
    if (OnMinimize)
        OnMinimize(this);
}

void TApplication::Restore() {
    if (!minimized_)
        return;
    minimized_ = false;
    if (OnRestore)
        OnRestore(this);
}

void TApplication::ShowAppWindow(bool visible) {
    appWindowVisible_ = visible;
}
