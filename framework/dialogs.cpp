#include "framework/dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <algorithm>
#include <vector>

#include "core/application.h"
#include "core/exception.h"
#include "desktop/window_ops.h"
#include "framework/controls.h"
#include "framework/qtext.h"

const char* const kExecutableFilesPattern = "<executables>";

AnsiString ExecutableFileFilter(const AnsiString& description) {
    return description + "|" + kExecutableFilesPattern;
}

namespace {

// A window title is one line; a longer one than any title bar shows is cut,
// so that the window manager is never handed an unbounded text.
constexpr std::size_t kMaxTitleBytes = 1024;

QString DisplayTitle(const AnsiString& title) {
    if (title.size() <= kMaxTitleBytes)
        return ToDisplayQString(title);
    return ToDisplayQString(TruncateCp932(title, kMaxTitleBytes) + "...");
}

struct FilterEntry {
    QString label;     // what the dialog's filter box shows
    bool executables;  // the entry shows executable files, not name patterns
};

std::vector<FilterEntry> parseFilter(const AnsiString& filter) {
    std::vector<FilterEntry> entries;
    const QStringList parts = ToQString(filter).split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i];
        const QString patterns = parts[i + 1];
        if (patterns == QLatin1String(kExecutableFilesPattern)) {
            // Every name, narrowed to executables by the proxy model below.
            entries.push_back({description + QStringLiteral(" (*)"), true});
            continue;
        }
        QStringList globs = patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& g : globs) g = g.trimmed();
        // The dialog reads the patterns from the parentheses at the end of the label.
        entries.push_back(
            {description + QStringLiteral(" (") + globs.join(QLatin1Char(' ')) + QStringLiteral(")"), false});
    }
    return entries;
}

// Hides the files the user may not execute; folders stay so the user can move around.
class ExecutableFilesProxy final : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setActive(bool on) {
        if (on == active_)
            return;
        active_ = on;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        if (!active_)
            return true;
        auto* fs = dynamic_cast<QFileSystemModel*>(sourceModel());
        if (fs == nullptr)
            return true;
        const QFileInfo info = fs->fileInfo(fs->index(row, 0, parent));
        return info.isDir() || (info.isFile() && info.isExecutable());
    }

private:
    bool active_ = false;
};

}  // namespace

TOpenDialog::TOpenDialog(TComponent* AOwner) : TComponent(AOwner) {}
TOpenDialog::~TOpenDialog() = default;

std::unique_ptr<QFileDialog> TOpenDialog::CreateDialog() const {
    auto dialog = std::make_unique<QFileDialog>(nullptr, ToQString(title_));
    // Our own dialog, so the executables filter works and the look is the same everywhere.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);

    const std::vector<FilterEntry> entries = parseFilter(filter_);
    auto* proxy = new ExecutableFilesProxy(dialog.get());
    dialog->setProxyModel(proxy);
    if (!entries.empty()) {
        QStringList labels;
        for (const FilterEntry& e : entries) labels << e.label;
        dialog->setNameFilters(labels);
        const int index = std::clamp(filterIndex_, 1, static_cast<int>(entries.size())) - 1;
        dialog->selectNameFilter(labels[index]);
        proxy->setActive(entries[static_cast<size_t>(index)].executables);
        QObject::connect(dialog.get(), &QFileDialog::filterSelected, proxy, [proxy, entries](const QString& label) {
            const auto it = std::find_if(entries.begin(), entries.end(),
                                         [&label](const FilterEntry& e) { return e.label == label; });
            proxy->setActive(it != entries.end() && it->executables);
        });
    }

    // Start from the last choice; without one, from InitialDir.
    if (!fileName_.empty()) {
        const QFileInfo last(ToQString(fileName_));
        dialog->setDirectory(last.absolutePath());
        dialog->selectFile(last.fileName());
    } else if (!initialDir_.empty()) {
        dialog->setDirectory(ToQString(initialDir_));
    }
    if ((options_ & ofEnableSizing) == 0)
        dialog->setSizeGripEnabled(false);
    return dialog;
}

void TOpenDialog::TakeChoice(const QFileDialog& dialog) {
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return;
    fileName_ = FromQString(QDir::toNativeSeparators(QFileInfo(files.first()).absoluteFilePath()));
    const QStringList labels = dialog.nameFilters();
    const qsizetype index = labels.indexOf(dialog.selectedNameFilter());
    if (index >= 0)
        filterIndex_ = static_cast<int>(index) + 1;
}

bool TOpenDialog::Execute() {
    std::unique_ptr<QFileDialog> dialog = CreateDialog();
    if ((options_ & ofEnableSizing) == 0) {
        dialog->adjustSize();
        dialog->setFixedSize(dialog->size());
    }
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return false;
    TakeChoice(*dialog);
    return true;
}

// ---- Message boxes ----

std::unique_ptr<QMessageBox> CreateMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(ToDisplayQString(caption));
    box->setTextFormat(Qt::PlainText);
    box->setText(ToDisplayQString(text, DisplayLines::Multiple));
    switch (flags & kMessageBoxIconMask) {
        case MB_ICONERROR:
            box->setIcon(QMessageBox::Critical);
            break;
        case MB_ICONQUESTION:
            box->setIcon(QMessageBox::Question);
            break;
        case MB_ICONWARNING:
            box->setIcon(QMessageBox::Warning);
            break;
        case MB_ICONINFORMATION:
            box->setIcon(QMessageBox::Information);
            break;
        default:
            box->setIcon(QMessageBox::NoIcon);
            break;
    }
    switch (flags & kMessageBoxButtonsMask) {
        case MB_OKCANCEL:
            box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box->setEscapeButton(QMessageBox::Cancel);
            break;
        case MB_YESNO:
            box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box->setEscapeButton(QMessageBox::No);
            break;
        default:
            box->setStandardButtons(QMessageBox::Ok);
            box->setEscapeButton(QMessageBox::Ok);
            break;
    }
    return box;
}

int MessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags) {
    std::unique_ptr<QMessageBox> box = CreateMessageBox(text, caption, flags);
    box->exec();
    QAbstractButton* clicked = box->clickedButton();
    switch (clicked != nullptr ? box->standardButton(clicked) : QMessageBox::NoButton) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            // Closed without a button: the escape answer.
            switch (flags & kMessageBoxButtonsMask) {
                case MB_OKCANCEL:
                    return IDCANCEL;
                case MB_YESNO:
                    return IDNO;
                default:
                    return IDOK;
            }
    }
}

int DesktopMessageBox::Show(const AnsiString& text, const AnsiString& caption, unsigned flags) {
    return MessageBox(text, caption, flags);
}

std::unique_ptr<QMessageBox> CreateStandardErrorBox(const Exception& E) {
    const AnsiString title = Application != nullptr ? Application->Title() : AnsiString();
    return CreateMessageBox(E.Message(), title, MB_OK | MB_ICONERROR);
}

void InstallStandardErrorBox() {
    if (Application == nullptr)
        return;
    Application->ShowExceptionHook = [](const Exception& E) { CreateStandardErrorBox(E)->exec(); };
}

// ---- The application title on the taskbar ----

void InstallTaskbarTitle(TCustomForm* form) {
    if (Application == nullptr || form == nullptr)
        return;
    QWidget* window = form->Handle();
    // Lives as long as the form's window does.
    auto* entry = new platform::TaskbarEntry(window);
    entry->Attach(window);
    entry->SetTitle(DisplayTitle(Application->Title()));
    entry->OnVisibleChanged = [](bool visible) {
        if (Application != nullptr && Application->AppWindowVisible() != visible)
            Application->ShowAppWindow(visible);
    };
    QPointer<platform::TaskbarEntry> weak(entry);
    auto previous = std::move(Application->OnTitleChange);
    Application->OnTitleChange = [weak, previous] {
        if (previous)
            previous();
        if (weak != nullptr && Application != nullptr)
            weak->SetTitle(DisplayTitle(Application->Title()));
    };
}
