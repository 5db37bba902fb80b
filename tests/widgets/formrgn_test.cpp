// The shaped-window image: the outline it builds from a bitmap, how it hands
// the outline to its window, and how it saves and loads region data.
#include "widgets/formrgn.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QRegion>
#include <QTemporaryDir>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/file_stream.h"
#include "core/streams.h"
#include "core/text.h"
#include "resources/resources.h"

using namespace platform;

namespace {

constexpr TColor kInk = RGB(64, 66, 72);
constexpr TColor kCut = clRed;  // 0x000000FF, as the main window's skin uses it

// A bitmap from rows of text: '.' is the cut colour, 'o' the button-face
// colour as a plain RGB value, anything else ink.
QImage patternImage(const std::vector<std::string>& rows) {
    const int h = static_cast<int>(rows.size());
    const int w = h == 0 ? 0 : static_cast<int>(rows[0].size());
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const char c = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
            img.setPixelColor(x, y, ToQColor(c == '.' ? kCut : c == 'o' ? GetSysColor(15) : kInk));
        }
    return img;
}

QRegion rects(std::initializer_list<QRect> list) {
    QRegion r;
    for (const QRect& rc : list) r += rc;
    return r;
}

QRegion pixelsOf(HRGN h) {
    auto r = RegionPixels(h);
    EXPECT_TRUE(r.has_value()) << "handle " << h << " is not a live region";
    return r.value_or(QRegion());
}

// Makes the next region operations of one kind fail, from the n-th call on.
class FaultOnCue {
public:
    FaultOnCue(RegionOp op, int failFrom = 1) {
        SetRegionFaultHook([this, op, failFrom](RegionOp o) { return o == op && ++calls_ >= failFrom; });
    }
    ~FaultOnCue() { SetRegionFaultHook({}); }

private:
    int calls_ = 0;
};

// A parent with a window frame: outer size larger than the client area.
class FramedParent : public TWinControl {
public:
    FramedParent(int outerW, int outerH, int clientW, int clientH) : TWinControl(nullptr), cw_(clientW), ch_(clientH) {
        SetBounds(0, 0, outerW, outerH);
    }
    int ClientWidth() const override { return cw_; }
    int ClientHeight() const override { return ch_; }

private:
    int cw_, ch_;
};

// A graphic that is not a bitmap.
class NotABitmap : public TGraphic {
public:
    int Width() const override { return 4; }
    int Height() const override { return 4; }
    void Draw(TCanvas&, const TRect&) override {}
    void LoadFromStream(TStream&) override {}
    void SaveToStream(TStream&) const override {}
};

class FormRgnTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart_ = LiveRegionCount();
        form_ = std::make_unique<TForm>(nullptr);
        form_->SetBorderStyle(TFormBorderStyle::bsNone);
        rgn_ = new TFormRgn(form_.get());
        rgn_->SetParent(form_.get());
        rgn_->SetAutoSize(true);
        rgn_->setTrspColor(kCut);
    }
    void TearDown() override {
        form_.reset();
        SetRegionFaultHook({});
        EXPECT_EQ(LiveRegionCount(), liveAtStart_) << "a region handle leaked";
    }
    void setPicture(const std::vector<std::string>& rows) {
        rgn_->Picture()->Bitmap()->SetImage(patternImage(rows));
        ASSERT_EQ(rgn_->Width(), static_cast<int>(rows[0].size()));
        ASSERT_EQ(rgn_->Height(), static_cast<int>(rows.size()));
    }
    QRegion current() { return pixelsOf(rgn_->Rgn()); }

    int liveAtStart_ = 0;
    std::unique_ptr<TForm> form_;
    TFormRgn* rgn_ = nullptr;  // owned by the form
};

std::string utf8(const std::string& cp932) {
    return Cp932ToUtf8(cp932);
}

// ---------------------------------------------------------------- the scan rules

struct ScanCase {
    const char* name;
    std::vector<std::string> rows;
    QRegion expected;
};

class ScanRules : public FormRgnTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanRules, BuildsTheOutlineOfTheOpaquePixels) {
    setPicture(GetParam().rows);
    rgn_->CreateRgn();
    EXPECT_EQ(current(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bitmaps, ScanRules,
    ::testing::Values(
        // Row 0 and column 0 never belong to the region.
        ScanCase{"NoTransparentPixel", {"#####", "#####", "#####", "#####"}, rects({QRect(1, 1, 4, 3)})},
        ScanCase{"AllTransparent", {"....", "....", "...."}, QRegion()},
        ScanCase{"OnePixelWide", {"#", "#", "#", "#"}, QRegion()}, ScanCase{"OnePixelHigh", {"######"}, QRegion()},
        ScanCase{"OpaqueAtColumnOneAfterTransparent", {"....", ".#..", ".#.."}, rects({QRect(1, 1, 1, 2)})},
        ScanCase{"RunToTheLastColumn", {".....", "..###", "....#"}, rects({QRect(2, 1, 3, 1), QRect(4, 2, 1, 1)})},
        ScanCase{"OpaqueColumnZeroThenGap", {"#..##", "#..##", "#...."}, rects({QRect(3, 1, 2, 1)})},
        ScanCase{"SeveralRunsInARow",
                 {"........", ".##.#..#", "#.#####."},
                 rects({QRect(1, 1, 2, 1), QRect(4, 1, 1, 1), QRect(7, 1, 1, 1), QRect(2, 2, 5, 1)})},
        ScanCase{"SinglePixelRuns", {"...", ".#.", "..#"}, rects({QRect(1, 1, 1, 1), QRect(2, 2, 1, 1)})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormRgnTest, SkinOutlineIsEveryNonRedPixelPastRowAndColumnZero) {
    const auto bytes = resources::Load("skin.bmp");
    ASSERT_TRUE(bytes.has_value());
    TMemoryStream s;
    s.WriteBuffer(bytes->data(), static_cast<std::int64_t>(bytes->size()));
    s.SetPosition(0);
    rgn_->Picture()->Bitmap()->LoadFromStream(s);
    ASSERT_EQ(rgn_->Width(), 205);
    ASSERT_EQ(rgn_->Height(), 66);
    form_->SetClientWidth(rgn_->Width());
    form_->SetClientHeight(rgn_->Height());

    rgn_->CreateRgn();

    const QImage& img = rgn_->Picture()->Bitmap()->Image();
    QRegion expected;
    int cut = 0;
    for (int y = 1; y < 66; ++y)
        for (int x = 1; x < 205; ++x) {
            if (FromQColor(img.pixelColor(x, y)) == clRed)
                ++cut;
            else
                expected += QRect(x, y, 1, 1);
        }
    EXPECT_GT(cut, 100) << "the skin has cut-away areas at its corners and edges";
    const QRegion got = current();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got.boundingRect(), QRect(QPoint(1, 1), QPoint(204, 65)));
    RECT box;
    ASSERT_NE(GetRgnBox(rgn_->Rgn(), &box), RGN_ERROR);
    EXPECT_EQ(box.left, 1);
    EXPECT_EQ(box.top, 1);
    EXPECT_EQ(box.right, 205);
    EXPECT_EQ(box.bottom, 66);
}

TEST_F(FormRgnTest, PixelsBeyondAnUnstretchedPictureCountAsOpaque) {
    rgn_->SetAutoSize(false);
    rgn_->Picture()->Bitmap()->SetImage(patternImage({"...", "...", "..."}));
    rgn_->SetBounds(0, 0, 5, 4);
    rgn_->CreateRgn();
    // Columns 3-4 of rows 1-2 and all of row 3 lie outside the 3 x 3 bitmap.
    EXPECT_EQ(current(), rects({QRect(3, 1, 2, 2), QRect(1, 3, 4, 1)}));
}

TEST_F(FormRgnTest, SystemTransparentColourNeverMatches) {
    setPicture({"ooo", "ooo", "ooo"});
    rgn_->setTrspColor(clBtnFace);
    rgn_->CreateRgn();
    EXPECT_EQ(current(), rects({QRect(1, 1, 2, 2)}));
}

TEST_F(FormRgnTest, RegionIsInWindowCoordinatesWithFrameAndPosition) {
    FramedParent framed(110, 130, 100, 100);  // side frames 5, caption + top frame 25
    rgn_->SetParent(&framed);
    rgn_->SetLeft(7);
    rgn_->SetTop(3);
    setPicture({"###", "###"});
    rgn_->CreateRgn();
    EXPECT_EQ(current(), rects({QRect(1 + 7 + 5, 1 + 3 + 25, 2, 1)}));
    rgn_->SetParent(form_.get());
}

TEST_F(FormRgnTest, ChangingTheColourLeavesTheRegionAlone) {
    setPicture({"...", ".##", ".##"});
    rgn_->CreateRgn();
    const QRegion before = current();
    rgn_->setTrspColor(kInk);
    EXPECT_EQ(rgn_->TransparentColor(), kInk);
    EXPECT_EQ(current(), before);
    rgn_->CreateRgn();
    EXPECT_EQ(current(), QRegion());
}

TEST_F(FormRgnTest, RebuildingReleasesThePreviousRegion) {
    setPicture({"###", "###"});
    rgn_->CreateRgn();
    const HRGN first = rgn_->Rgn();
    const int live = LiveRegionCount();
    rgn_->CreateRgn();
    EXPECT_NE(rgn_->Rgn(), first);
    EXPECT_FALSE(RegionPixels(first).has_value());
    EXPECT_EQ(LiveRegionCount(), live);
}

// ---------------------------------------------------------------- failures while building

struct BuildFault {
    const char* name;
    RegionOp op;
    int failFrom;
    const char* message;
};

class BuildFaults : public FormRgnTest, public ::testing::WithParamInterface<BuildFault> {};

TEST_P(BuildFaults, KeepThePreviousRegion) {
    setPicture({"....", ".##.", "#.##"});
    rgn_->CreateRgn();
    const HRGN previous = rgn_->Rgn();
    const QRegion shape = current();
    const int live = LiveRegionCount();
    setPicture({"....", "####", "####"});
    {
        FaultOnCue fault(GetParam().op, GetParam().failFrom);
        try {
            rgn_->CreateRgn();
            FAIL() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(utf8(e.Message()), GetParam().message);
        }
    }
    EXPECT_EQ(rgn_->Rgn(), previous);
    EXPECT_EQ(current(), shape);
    EXPECT_EQ(LiveRegionCount(), live) << "the half-built region was not released";
}

INSTANTIATE_TEST_SUITE_P(
    Operations, BuildFaults,
    ::testing::Values(BuildFault{"EmptyRegion", RegionOp::CreateRect, 1, "CreateRectRgnに失敗しました"},
                      BuildFault{"RowRectangle", RegionOp::CreateRect, 3, "CreateRectRgnに失敗しました"},
                      BuildFault{"Union", RegionOp::Combine, 2, "CombineRgnに失敗しました"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormRgnTest, PictureThatIsNotABitmapIsRefusedAndKeepsTheRegion) {
    setPicture({"##", "##"});
    rgn_->CreateRgn();
    const HRGN previous = rgn_->Rgn();
    rgn_->Picture()->SetGraphic(std::make_unique<NotABitmap>());
    EXPECT_THROW(rgn_->CreateRgn(), EInvalidOperation);
    EXPECT_EQ(rgn_->Rgn(), previous);
    EXPECT_TRUE(RegionPixels(previous).has_value());
}

TEST_F(FormRgnTest, AddingWithoutARegionIsAUnionFailure) {
    setPicture({"##", "##"});
    try {
        rgn_->AddRgn(0, 2, 1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(utf8(e.Message()), "CombineRgnに失敗しました");
    }
    EXPECT_EQ(rgn_->Rgn(), 0u);
}

// ---------------------------------------------------------------- applying to the window

TEST_F(FormRgnTest, UpdateHandsTheWindowACopyAndKeepsItsOwn) {
    QWidget* window = form_->Handle();
    EXPECT_FALSE(GetWindowRegion(window).has_value());
    rgn_->UpdateRgn();  // nothing built yet: nothing happens
    EXPECT_FALSE(GetWindowRegion(window).has_value());

    setPicture({"....", ".##.", ".###"});
    rgn_->CreateRgn();
    const int live = LiveRegionCount();
    rgn_->UpdateRgn();
    ASSERT_TRUE(GetWindowRegion(window).has_value());
    EXPECT_EQ(*GetWindowRegion(window), current());
    EXPECT_EQ(window->mask(), current());
    EXPECT_EQ(LiveRegionCount(), live) << "the window's copy must not stay in the handle table";

    // The component's own region can still be changed without touching the window.
    rgn_->setTrspColor(kInk);
    rgn_->CreateRgn();
    EXPECT_NE(*GetWindowRegion(window), current());
}

TEST_F(FormRgnTest, AnEmptyRegionIsStillAppliedAndHidesTheWholeWindow) {
    QWidget* window = form_->Handle();
    setPicture({"...", "...", "..."});
    rgn_->CreateRgn();
    rgn_->UpdateRgn();
    ASSERT_TRUE(GetWindowRegion(window).has_value());
    EXPECT_TRUE(GetWindowRegion(window)->isEmpty());
    EXPECT_FALSE(window->mask().isEmpty()) << "an empty mask would show the whole window";
    EXPECT_FALSE(window->mask().intersects(window->rect()));
}

struct ApplyFault {
    const char* name;
    RegionOp op;
    const char* message;
};

class ApplyFaults : public FormRgnTest, public ::testing::WithParamInterface<ApplyFault> {};

TEST_P(ApplyFaults, LeaveTheWindowShapeAsItWas) {
    QWidget* window = form_->Handle();
    setPicture({"...", ".##", ".##"});
    rgn_->CreateRgn();
    rgn_->UpdateRgn();
    const QRegion applied = *GetWindowRegion(window);
    setPicture({"....", "####", "####"});
    rgn_->CreateRgn();
    const HRGN own = rgn_->Rgn();
    const int live = LiveRegionCount();
    {
        FaultOnCue fault(GetParam().op);
        try {
            rgn_->UpdateRgn();
            FAIL() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(utf8(e.Message()), GetParam().message);
        }
    }
    EXPECT_EQ(*GetWindowRegion(window), applied);
    EXPECT_EQ(window->mask(), applied);
    EXPECT_EQ(rgn_->Rgn(), own);
    EXPECT_EQ(LiveRegionCount(), live) << "the copy was not released";
}

INSTANTIATE_TEST_SUITE_P(Operations, ApplyFaults,
                         ::testing::Values(ApplyFault{"Copy", RegionOp::CreateRect, "CreateRectRgnに失敗しました"},
                                           ApplyFault{"Union", RegionOp::Combine, "CombineRgnに失敗しました"},
                                           ApplyFault{"Window", RegionOp::SetWindow, "SetWindowRGNに失敗しました"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FormRgnTest, WithoutAParentThereIsNoWindowToShape) {
    TFormRgn orphan(nullptr);
    orphan.Picture()->Bitmap()->SetImage(patternImage({"###", "###"}));
    orphan.SetAutoSize(true);
    orphan.CreateRgn();
    EXPECT_EQ(pixelsOf(orphan.Rgn()), rects({QRect(1, 1, 2, 1)}));
    const int live = LiveRegionCount();
    try {
        orphan.UpdateRgn();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(utf8(e.Message()), "SetWindowRGNに失敗しました");
    }
    EXPECT_EQ(LiveRegionCount(), live);
}

// ---------------------------------------------------------------- saving and loading

TEST_F(FormRgnTest, SaveThenLoadMovesTheSameShapeToThePoint) {
    setPicture({"......", ".####.", ".#..##", ".####."});
    rgn_->CreateRgn();
    const QRegion shape = current();

    TMemoryStream s;
    rgn_->SaveToStreamRgn(s);
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.Size(), 32 + 16 * shape.rectCount());

    rgn_->LoadFromStreamRgn(s, 10, 20);
    EXPECT_EQ(s.Position(), 0);
    const QRect box = shape.boundingRect();
    EXPECT_EQ(current(), shape.translated(10 - box.x(), 20 - box.y()));
    EXPECT_EQ(current().boundingRect().topLeft(), QPoint(10, 20));
}

TEST_F(FormRgnTest, WritingGoesToTheStartAndLeavesLaterBytes) {
    setPicture({"...", ".#.", "..."});
    rgn_->CreateRgn();
    TMemoryStream s;
    const std::string filler(100, 'x');
    s.WriteBuffer(filler.data(), 100);  // position now 100
    rgn_->WriteStreamRgn(s);
    EXPECT_EQ(s.Position(), 0);
    ASSERT_EQ(s.Size(), 100);
    const auto* b = reinterpret_cast<const unsigned char*>(s.Memory());
    EXPECT_EQ(b[0], 32);  // dwSize
    EXPECT_EQ(b[4], 1);   // iType
    EXPECT_EQ(b[8], 1);   // nCount
    EXPECT_EQ(std::string(s.Memory() + 48, 52), std::string(52, 'x'));
    // The excess does not stop the data being read back.
    rgn_->ReadStreamRgn(s);
    EXPECT_EQ(current(), rects({QRect(1, 1, 1, 1)}));
}

TEST_F(FormRgnTest, WritingWithNoRegionChangesOnlyThePosition) {
    TMemoryStream s;
    s.WriteBuffer("abcdef", 6);
    for (bool viaSave : {false, true}) {
        s.SetPosition(4);
        try {
            if (viaSave)
                rgn_->SaveToStreamRgn(s);
            else
                rgn_->WriteStreamRgn(s);
            FAIL() << "no exception";
        } catch (const EFormRgnError& e) {
            EXPECT_EQ(utf8(e.Message()), "リージョンが存在しません");
        }
        EXPECT_EQ(s.Position(), 0);
        EXPECT_EQ(std::string(s.Memory(), 6), "abcdef");
    }
}

TEST_F(FormRgnTest, RegionDataFailureNamesTheErrorCode) {
    setPicture({"##", "##"});
    rgn_->CreateRgn();
    TMemoryStream s;
    for (int failFrom : {1, 2}) {  // the size query, then the data itself
        FaultOnCue fault(RegionOp::GetData, failFrom);
        s.SetPosition(3);
        try {
            rgn_->WriteStreamRgn(s);
            FAIL() << "no exception";
        } catch (const EFormRgnError& e) {
            EXPECT_EQ(utf8(e.Message()), "GetRegionDataでエラーが発生しました。エラーコード8");
        }
        EXPECT_EQ(s.Position(), 0);
        EXPECT_EQ(s.Size(), 0);
    }
}

TEST_F(FormRgnTest, UnreadableDataKeepsThePreviousRegionUsable) {
    setPicture({"...", ".##", ".##"});
    rgn_->CreateRgn();
    const HRGN previous = rgn_->Rgn();
    TMemoryStream good;
    rgn_->SaveToStreamRgn(good);
    const std::string valid(good.Memory(), static_cast<size_t>(good.Size()));

    std::vector<std::string> damaged = {
        "",                                 // empty stream
        valid.substr(0, 31),                // cut inside the header
        valid.substr(0, valid.size() - 1),  // cut inside the last rectangle
        "PK" + valid.substr(2),             // wrong header size
    };
    std::string degenerate = valid;
    std::memcpy(&degenerate[32 + 8], &degenerate[32], 4);  // right = left
    damaged.push_back(degenerate);

    for (const std::string& bytes : damaged) {
        TMemoryStream s;
        s.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        try {
            rgn_->LoadFromStreamRgn(s, 5, 5);
            ADD_FAILURE() << "accepted " << bytes.size() << " damaged bytes";
        } catch (const Exception& e) {
            EXPECT_EQ(utf8(e.Message()), "ExtCreateRegionに失敗しました");
        }
        EXPECT_EQ(s.Position(), 0);
        EXPECT_EQ(rgn_->Rgn(), previous);
    }
    // Still valid: it can be saved and applied.
    TMemoryStream again;
    rgn_->SaveToStreamRgn(again);
    EXPECT_EQ(std::string(again.Memory(), static_cast<size_t>(again.Size())), valid);
    rgn_->UpdateRgn();
    EXPECT_EQ(*GetWindowRegion(form_->Handle()), rects({QRect(1, 1, 2, 2)}));
}

// A stream that claims a size but holds only some bytes: a file that shrank
// while being read, or a size no valid region data can have.
class ShortStream : public TStream {
public:
    ShortStream(std::int64_t claimed, std::string held) : claimed_(claimed), held_(std::move(held)) {}
    std::int64_t Read(void* buffer, std::int64_t count) override {
        const std::int64_t n = std::max<std::int64_t>(0, std::min<std::int64_t>(count, Size(held_) - position_));
        if (n > 0)
            std::memcpy(buffer, held_.data() + position_, static_cast<size_t>(n));
        position_ += n;
        return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Size() const override { return claimed_; }
    void SetSize(std::int64_t) override {}

private:
    static std::int64_t Size(const std::string& s) { return static_cast<std::int64_t>(s.size()); }
    std::int64_t claimed_;
    std::string held_;
};

TEST_F(FormRgnTest, StreamsThatCannotDeliverTheirSizeAreRefused) {
    setPicture({"...", ".##"});
    rgn_->CreateRgn();
    const HRGN previous = rgn_->Rgn();
    TMemoryStream good;
    rgn_->SaveToStreamRgn(good);
    const std::string valid(good.Memory(), static_cast<size_t>(good.Size()));

    // A terabyte is refused before any buffer is allocated for it; a stream
    // that delivers fewer bytes than its size is not read as zeros.
    for (std::int64_t claimed : {std::int64_t{1} << 40, static_cast<std::int64_t>(valid.size()) + 16}) {
        ShortStream s(claimed, valid);
        s.SetPosition(7);
        try {
            rgn_->ReadStreamRgn(s);
            ADD_FAILURE() << "accepted a stream claiming " << claimed << " bytes";
        } catch (const Exception& e) {
            EXPECT_EQ(utf8(e.Message()), "ExtCreateRegionに失敗しました");
        }
        EXPECT_EQ(s.Position(), 0);
        EXPECT_EQ(rgn_->Rgn(), previous);
    }
}

TEST_F(FormRgnTest, LoadFailuresAfterReadingReportTheirStep) {
    setPicture({"...", ".##"});
    rgn_->CreateRgn();
    TMemoryStream s;
    rgn_->SaveToStreamRgn(s);
    {
        FaultOnCue fault(RegionOp::GetBox);
        try {
            rgn_->LoadFromStreamRgn(s, 0, 0);
            FAIL() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(utf8(e.Message()), "GetRgnBoxに失敗しました");
        }
    }
    // A move out of the coordinate range, including one that overflows an int.
    for (int x : {kMaxRegionCoordinate, std::numeric_limits<int>::min()}) {
        try {
            rgn_->LoadFromStreamRgn(s, x, 0);
            FAIL() << "no exception for x " << x;
        } catch (const Exception& e) {
            EXPECT_EQ(utf8(e.Message()), "リージョンの移動に失敗しました");
        }
        EXPECT_EQ(current(), rects({QRect(1, 1, 2, 1)}));
    }
}

TEST_F(FormRgnTest, FileRoundTripAndTheErrorsThatNameTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const AnsiString path = dir.path().toStdString() + "/shape.rgn";
    setPicture({"....", ".#.#", ".###"});
    rgn_->CreateRgn();
    const QRegion shape = current();
    rgn_->SaveToFileRgn(path);
    rgn_->SaveToFileRgn(path);  // replaces, does not append
    {
        TFileStream f(path, fmOpenRead);
        EXPECT_EQ(f.Size(), 32 + 16 * shape.rectCount());
    }
    setPicture({"..", ".."});
    rgn_->CreateRgn();
    rgn_->LoadFromFileRgn(path, 0, 0);
    EXPECT_EQ(current(), shape.translated(-1, -1));

    const AnsiString missing = dir.path().toStdString() + "/none.rgn";
    try {
        rgn_->LoadFromFileRgn(missing, 0, 0);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
    }
    const AnsiString nowhere = dir.path().toStdString() + "/no/such/dir.rgn";
    try {
        rgn_->SaveToFileRgn(nowhere);
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + nowhere + "\". No such file or directory");
    }
}

TEST_F(FormRgnTest, DestructionReleasesOnlyTheComponentsRegion) {
    QWidget* window = form_->Handle();
    setPicture({"...", ".##"});
    rgn_->CreateRgn();
    rgn_->UpdateRgn();
    const HRGN own = rgn_->Rgn();
    delete rgn_;
    rgn_ = nullptr;
    EXPECT_FALSE(RegionPixels(own).has_value());
    EXPECT_EQ(*GetWindowRegion(window), rects({QRect(1, 1, 2, 1)}));
}

// ---------------------------------------------------------------- see-through windows

TEST_F(FormRgnTest, ASeeThroughWindowShowsNoKeyColourAndOnlyTheShapeIsOpaque) {
    setPicture({"......", ".xxxx.", "xxxxxx", ".xx..."});
    form_->SetClientWidth(6);
    form_->SetClientHeight(4);
    rgn_->SetSeeThroughWindow(true);
    rgn_->CreateRgn();
    rgn_->UpdateRgn();
    QWidget* window = form_->Handle();
    EXPECT_TRUE(window->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_FALSE(window->mask().isEmpty()) << "the shape still takes the input";

    const QImage shown = window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_GE(shown.width(), 6);
    ASSERT_GE(shown.height(), 4);
    const QImage& picture = rgn_->Picture()->Bitmap()->Image();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const QRgb p = shown.pixel(x, y);
            if (FromQColor(picture.pixelColor(x, y)) == kCut)
                EXPECT_EQ(qAlpha(p), 0) << "cut-away pixel " << x << "," << y;
            else
                EXPECT_EQ(p, picture.pixel(x, y)) << "skin pixel " << x << "," << y;
        }
}

TEST_F(FormRgnTest, AnOrdinaryWindowKeepsItsBackgroundAndGetsOnlyTheShape) {
    setPicture({"....", ".xx.", "...."});
    form_->SetClientWidth(4);
    form_->SetClientHeight(3);
    rgn_->SetSeeThroughWindow(false);
    rgn_->CreateRgn();
    rgn_->UpdateRgn();
    QWidget* window = form_->Handle();
    EXPECT_FALSE(window->testAttribute(Qt::WA_TranslucentBackground));
    const QImage shown = window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(shown.pixel(0, 0)), 255);
}

}  // namespace
