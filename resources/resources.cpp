#include "resources/resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <mutex>

// The resource data lives in a static library, so nothing registers it unless
// asked. Outside any namespace: the macro declares the registration function
// in the enclosing one.
static void registerArtwork() {
    Q_INIT_RESOURCE(resources);
}

namespace {
constexpr const char* kPrefix = ":/postwren/";
constexpr const char* kIconPrefix = "postwren-";
constexpr const char* kIconSuffix = ".png";
// One picture the installed theme always has.
constexpr const char* kThemeProbe = "hicolor/32x32/apps/postwren.png";

void registerOnce() {
    static std::once_flag once;
    std::call_once(once, registerArtwork);
}
}  // namespace

namespace resources {

std::optional<std::string> Load(std::string_view name) {
    registerOnce();
    QFile file(QString::fromLatin1(kPrefix) + QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    if (name.empty() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::vector<int> IconSizes() {
    registerOnce();
    std::vector<int> sizes;
    const QString prefix = QString::fromLatin1(kIconPrefix);
    const QString suffix = QString::fromLatin1(kIconSuffix);
    for (const QString& name : QDir(QString::fromLatin1(kPrefix)).entryList(QDir::Files)) {
        if (!name.startsWith(prefix) || !name.endsWith(suffix))
            continue;
        bool ok = false;
        const int size = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size()).toInt(&ok);
        if (ok && size > 0)
            sizes.push_back(size);
    }
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

std::string IconThemeFolder() {
    if (QCoreApplication::instance() == nullptr)
        return std::string();
    const QDir folder(QCoreApplication::applicationDirPath() + QStringLiteral("/") +
                      QString::fromUtf8(POSTWREN_ICONS_FROM_BIN));
    if (!QFileInfo(folder.filePath(QString::fromLatin1(kThemeProbe))).isFile())
        return std::string();
    return QDir::cleanPath(folder.absolutePath()).toStdString();
}

}  // namespace resources
