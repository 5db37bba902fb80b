// An image control that gives the window it sits on the outline of its bitmap.
#pragma once

#include "core/exception.h"
#include "desktop/region.h"
#include "framework/controls.h"

class TStream;

// Raised by the save operations of TFormRgn.
class EFormRgnError : public Exception {
public:
    using Exception::Exception;
};

// Shows its picture like any image, and builds a region of every pixel of the
// bitmap that differs from TransparentColor, to be applied to its parent
// window. It never builds or applies the region by itself: the owner calls
// CreateRgn and UpdateRgn. Regions can be saved to and loaded from streams
// and files as region data. GUI thread only.
//
// The region is kept in the parent window's coordinates, which start at the
// window's outer corner (frame and caption included). Failures raise
// Exception unless stated; no failure leaves a released handle in FRgn, and
// no failure of UpdateRgn changes the window's current shape.
class TFormRgn : public TImage {
public:
    explicit TFormRgn(TComponent* AOwner);
    ~TFormRgn() override;
    const char* ClassName() const override { return "TFormRgn"; }

    // Compared as stored with each pixel's 0x00BBGGRR value; a system colour
    // never matches. Storing it does not rebuild the region.
    TColor TransparentColor() const { return FTransparentColor; }
    void setTrspColor(TColor color);

    // Builds a new region from the bitmap: rows 1 to Height - 1, runs clipped
    // to start at column 1 at the earliest; pixels outside the bitmap count as
    // opaque. Replaces FRgn on success; keeps the previous region on failure.
    // EInvalidOperation when the picture is not a bitmap.
    void CreateRgn();
    // Hands a copy of the region to the parent window (shaping it, with a
    // redraw); the window owns the copy. Nothing when there is no region.
    // Without a parent there is no window to shape: "SetWindowRGNに失敗しました".
    void UpdateRgn();
    // Adds bitmap row y from column x1 up to, not including, x2.
    void AddRgn(int x1, int x2, int y);

    // Write the region data at position 0, leaving the position at 0 and any
    // bytes after the data as they were. EFormRgnError when there is no
    // region or its data cannot be obtained.
    void WriteStreamRgn(TStream& stream);
    void SaveToStreamRgn(TStream& stream);
    // Creates (replaces) the file; EFCreateError when it cannot.
    void SaveToFileRgn(const AnsiString& FileName);

    // Replaces the region by the data making up the whole stream, leaving the
    // position at 0. The previous region stays when the data is not valid.
    void ReadStreamRgn(TStream& stream);
    // ReadStreamRgn, then moves the region so its bounding box starts at (x, y).
    void LoadFromStreamRgn(TStream& stream, int x, int y);
    // EFOpenError when the file cannot be opened.
    void LoadFromFileRgn(const AnsiString& FileName, int x, int y);

    // The region handle the component owns; 0 when there is none.
    platform::HRGN Rgn() const { return FRgn; }

    // Whether UpdateRgn also makes the window see-through, with the
    // bitmap's TransparentColor pixels painted transparent: for compositors
    // that use the shape only for input (Wayland, and X11 windows shown
    // through one). Decided from the session when the component is made.
    bool SeeThroughWindow() const { return FSeeThrough; }
    void SetSeeThroughWindow(bool Value) { FSeeThrough = Value; }

protected:
    void Paint() override;

private:
    platform::HRGN FRgn = 0;
    bool FSeeThrough = false;
    TColor FTransparentColor = clBlack;
};
