// Icons and image lists: TIcon is a picture with an icon handle the
// notification area can show; TImageList keeps same-sized pictures by index.
#pragma once

#include <QImage>
#include <QString>
#include <vector>

#include "core/component.h"
#include "desktop/tray_service.h"
#include "framework/graphics.h"

// An icon picture (with transparency). Its handle is made on first use of
// Handle() and released when the picture changes or the icon is destroyed.
// GUI thread only.
class TIcon : public TGraphic {
public:
    TIcon();
    ~TIcon() override;
    TIcon(const TIcon&) = delete;
    TIcon& operator=(const TIcon&) = delete;
    const char* ClassName() const override { return "TIcon"; }
    // Copies another icon's picture, or a bitmap's (fully opaque).
    void Assign(const TPersistent* Source) override;

    int Width() const override { return image_.width(); }
    int Height() const override { return image_.height(); }
    void Draw(TCanvas& canvas, const TRect& rect) override;
    // Reads an .ico file image (the largest picture in it) or any picture
    // format the toolkit reads; raises EInvalidGraphic when the bytes are none.
    void LoadFromStream(TStream& stream) override;
    // Writes an .ico file image; raises EInvalidGraphic for an empty icon.
    void SaveToStream(TStream& stream) const override;

    // The icon handle; 0 for an empty icon. Owned by the icon: valid until the
    // picture changes or the icon is destroyed.
    platform::HICON Handle();
    // Whether a handle exists right now.
    bool HandleAllocated() const { return handle_ != 0; }

    // The picture in 32-bit ARGB. Setting it drops the other sizes and the
    // theme name, which belonged to the picture before.
    const QImage& Image() const { return image_; }
    void SetImage(const QImage& image);

    // The same icon drawn for other sizes, which the handle carries along
    // for trays that show the icon larger or smaller than Image(). Null
    // pictures are left out.
    const std::vector<QImage>& OtherSizes() const { return otherSizes_; }
    void SetOtherSizes(const std::vector<QImage>& pictures);
    // The icon's name in the desktop's icon theme, and a folder of icon
    // themes to find it in besides the desktop's own (may be empty); the
    // handle carries them along.
    void SetThemeIcon(const QString& name, const QString& themePath);

private:
    void releaseHandle();

    QImage image_;
    std::vector<QImage> otherSizes_;
    QString themeName_;
    QString themePath_;
    platform::HICON handle_ = 0;
};

// The application's icon: shown wherever the program has no picture of its
// own, the tray included. Never null; until the program sets one it is a
// plain drawn 32 x 32 envelope. Lives for the whole process. GUI thread only.
TIcon* ApplicationIcon();

// A list of same-sized pictures addressed by index. Pictures of another size
// are scaled to the list's size as they are added. GUI thread only.
class TImageList : public TComponent {
public:
    explicit TImageList(TComponent* AOwner);
    ~TImageList() override;
    const char* ClassName() const override { return "TImageList"; }

    // Picture size, 16 x 16 by default. Changing it empties the list.
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetSize(int width, int height);

    int Count() const { return static_cast<int>(images_.size()); }

    // Appends a bitmap; with a mask, its white pixels are transparent (a
    // monochrome-style mask). Returns the new index, or -1 for an empty bitmap.
    int Add(const TBitmap* image, const TBitmap* mask = nullptr);
    // Appends a bitmap whose pixels of colour transparent are see-through.
    int AddMasked(const TBitmap* image, TColor transparent);
    // Appends an icon's picture; -1 for an empty icon.
    int AddIcon(const TIcon* icon);
    // Removes entry index; raises EInvalidOperation for a bad index.
    void Delete(int index);

    // Copies entry index into icon; raises EInvalidOperation for a bad index.
    void GetIcon(int index, TIcon* icon) const;
    // Copies entry index into a 24-bit bitmap over Color black; raises
    // EInvalidOperation for a bad index.
    void GetBitmap(int index, TBitmap* bitmap) const;

    // Fired after every change of the entries.
    TNotifyEvent OnChange;

private:
    int append(QImage image);
    void checkIndex(int index) const;
    void changed();

    int width_ = 16;
    int height_ = 16;
    std::vector<QImage> images_;
};
