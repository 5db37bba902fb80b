#include "app/application_icon.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/streams.h"
#include "framework/imagelist.h"
#include "resources/resources.h"

namespace {
constexpr const char* kIconFile = "postwren.ico";
}  // namespace

void LoadApplicationIcon() {
    const std::optional<std::string> bytes = resources::Load(kIconFile);
    if (!bytes)
        return;
    TMemoryStream stream;
    stream.Write(bytes->data(), static_cast<std::int64_t>(bytes->size()));
    stream.SetPosition(0);
    ApplicationIcon()->LoadFromStream(stream);
    // Trays show the picture drawn for the size they give the icon.
    std::vector<QImage> sizes;
    for (int size : resources::IconSizes())
        if (const std::optional<std::string> png = resources::Load("postwren-" + std::to_string(size) + ".png"))
            sizes.push_back(
                QImage::fromData(reinterpret_cast<const uchar*>(png->data()), static_cast<int>(png->size())));
    ApplicationIcon()->SetOtherSizes(sizes);
    if (const std::string theme = resources::IconThemeFolder(); !theme.empty())
        ApplicationIcon()->SetThemeIcon(QString::fromLatin1(resources::kThemeIconName), QString::fromStdString(theme));
    QIcon windowIcon(QPixmap::fromImage(ApplicationIcon()->Image()));
    for (const QImage& picture : sizes)
        if (picture.size() != ApplicationIcon()->Image().size())
            windowIcon.addPixmap(QPixmap::fromImage(picture));
    QApplication::setWindowIcon(windowIcon);
}
