// The user's providers file, read over the built-in providers.
#include <QFile>

#include "core/hive_file.h"
#include "core/log.h"
#include "session/oauth2_provider.h"

std::string OAuth2ProvidersFilePath() {
    return (platform::HiveFile::DefaultPath().parent_path() / "oauth2.json").string();
}

OAuth2Providers OAuth2Providers::Load(platform::Log& log) {
    OAuth2Providers list = BuiltIn();
    const std::string path = OAuth2ProvidersFilePath();
    QFile file(QString::fromStdString(path));
    if (!file.exists())
        return list;
    if (!file.open(QIODevice::ReadOnly)) {
        log.Line(path + ": cannot be read (" + file.errorString().toStdString() + "); its providers are ignored");
        return list;
    }
    const QByteArray bytes = file.read(qint64(kFileLimit) + 1);
    if (bytes.size() > qsizetype(kFileLimit)) {
        log.Line(path + ": longer than " + std::to_string(kFileLimit / 1024) + " KiB; its providers are ignored");
        return list;
    }
    std::vector<std::string> problems;
    list.Merge(std::string_view(bytes.constData(), std::size_t(bytes.size())), problems);
    for (const std::string& problem : problems) log.Line(path + ": " + problem);
    return list;
}
