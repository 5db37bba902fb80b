#include "resources/resources.h"

#include <QFile>
#include <QString>
#include <mutex>

// The resource data lives in a static library, so nothing registers it unless
// asked. Outside any namespace: the macro declares the registration function
// in the enclosing one.
static void registerArtwork() {
    Q_INIT_RESOURCE(resources);
}

namespace {
constexpr const char* kPrefix = ":/postwren/";
}  // namespace

namespace resources {

std::optional<std::string> Load(std::string_view name) {
    static std::once_flag once;
    std::call_once(once, registerArtwork);
    QFile file(QString::fromLatin1(kPrefix) + QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    if (name.empty() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace resources
