// A desktop session for tests: offers whatever tray the test says, keeps
// what each icon made in it shows, and plays the tray's part in the user's
// doing. Can refuse to make icons, as a tray that cannot be reached.
#pragma once

#include <QImage>
#include <QString>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "desktop/tray_desktop.h"

class FakeTrayDesktop final : public platform::TrayDesktop {
public:
    // One icon made in a tray, as that tray shows it.
    struct Icon {
        platform::TrayOffer where;
        platform::TrayIconReports reports;
        QImage picture;
        platform::IconPictures pictures;  // everything the tray was given, picture included
        QString tip;
        std::vector<platform::TrayMenuEntry> menu;
        bool shown = true;  // false once the view is gone
    };

    platform::TrayOffer Offered() override {
        ++looks;
        return offer;
    }
    void SetChangeHandler(std::function<void()> handler) override { changed = std::move(handler); }
    std::unique_ptr<platform::TrayIconView> MakeIcon(const platform::TrayOffer& where,
                                                     platform::TrayIconReports reports) override {
        if (refuseIcons)
            return nullptr;
        auto icon = std::make_shared<Icon>();
        icon->where = where;
        icon->reports = std::move(reports);
        made.push_back(icon);
        int shown = 0;
        for (const auto& i : made) shown += i->shown ? 1 : 0;
        mostShownAtOnce = std::max(mostShownAtOnce, shown);
        return std::make_unique<View>(icon);
    }

    // The session now offers `tray` and says so, as it would from the event loop.
    void Offer(platform::TrayKind kind, const QString& identity = QStringLiteral("tray")) {
        offer = platform::TrayOffer{kind, identity};
        if (changed)
            changed();
    }

    // The icons shown now.
    std::vector<std::shared_ptr<Icon>> Shown() const {
        std::vector<std::shared_ptr<Icon>> out;
        for (const auto& i : made)
            if (i->shown)
                out.push_back(i);
        return out;
    }

    platform::TrayOffer offer;
    std::function<void()> changed;
    std::vector<std::shared_ptr<Icon>> made;
    int mostShownAtOnce = 0;
    int looks = 0;
    bool refuseIcons = false;

private:
    class View final : public platform::TrayIconView {
    public:
        explicit View(std::shared_ptr<Icon> icon) : icon_(std::move(icon)) {}
        ~View() override { icon_->shown = false; }
        void SetPicture(const platform::IconPictures& pictures) override {
            icon_->picture = pictures.picture;
            icon_->pictures = pictures;
        }
        void SetToolTipText(const QString& tip) override { icon_->tip = tip; }
        void SetMenu(const std::vector<platform::TrayMenuEntry>& entries) override { icon_->menu = entries; }

    private:
        std::shared_ptr<Icon> icon_;
    };
};
