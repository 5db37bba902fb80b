// File streams: positions and sizes on a real file, and the errors that name the file.
#include "core/file_stream.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <string>

#include "core/text.h"

namespace {

class FileStreamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    AnsiString path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }
    QTemporaryDir dir_;
};

TEST_F(FileStreamTest, ReadsAndWritesAtThePosition) {
    const AnsiString p = path("data.bin");
    {
        TFileStream f(p, fmCreate);
        EXPECT_EQ(f.Size(), 0);
        f.WriteBuffer("hello world", 11);
        EXPECT_EQ(f.Position(), 11);
        f.SetPosition(6);
        f.WriteBuffer("W", 1);
        f.SetSize(8);  // cut; the position stays inside
        EXPECT_EQ(f.Size(), 8);
        EXPECT_EQ(f.Position(), 7);
        f.SetPosition(20);
        EXPECT_EQ(f.Write("!", 1), 1);  // writing past the end fills the gap with zeros
        EXPECT_EQ(f.Size(), 21);
    }
    TFileStream f(p, fmOpenRead | fmShareDenyWrite);
    std::string buf(40, '?');
    EXPECT_EQ(f.Read(buf.data(), 40), 21);
    EXPECT_EQ(buf.substr(0, 21), std::string("hello Wo") + std::string(12, '\0') + "!");
    EXPECT_EQ(f.Position(), 21);
    EXPECT_EQ(f.Read(buf.data(), 5), 0);
    EXPECT_EQ(f.Write("x", 1), 0) << "a file opened for reading takes no writes";
    EXPECT_THROW(f.WriteBuffer("x", 1), Exception);
    f.SetPosition(0);
    char c[3];
    f.ReadBuffer(c, 3);
    EXPECT_EQ(std::string(c, 3), "hel");
}

TEST_F(FileStreamTest, CreateReplacesButOpenForWritingKeeps) {
    const AnsiString p = path("keep.bin");
    {
        TFileStream f(p, fmCreate);
        f.WriteBuffer("abcdef", 6);
    }
    {
        TFileStream f(p, fmOpenWrite);
        EXPECT_EQ(f.Size(), 6);
        f.WriteBuffer("XY", 2);
    }
    {
        TFileStream f(p, fmOpenReadWrite);
        std::string buf(6, '\0');
        f.ReadBuffer(buf.data(), 6);
        EXPECT_EQ(buf, "XYcdef");
    }
    TFileStream f(p, fmCreate);
    EXPECT_EQ(f.Size(), 0);
}

TEST_F(FileStreamTest, ErrorsNameTheFileAndTheReason) {
    const AnsiString missing = path("missing.bin");
    try {
        TFileStream f(missing, fmOpenRead);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
    }
    const AnsiString folder = dir_.path().toStdString();
    try {
        TFileStream f(folder, fmOpenRead);
        FAIL() << "a directory was opened as a file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + folder + "\". Is a directory");
    }
    try {
        TFileStream f(folder, fmCreate);
        FAIL() << "a directory was created over";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + folder + "\". ", 0), 0u) << e.Message();
    }
    try {
        TFileStream f(path("x.bin"), 0x0003);  // no such access mode
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message().find("Invalid argument"), std::string::npos) << e.Message();
    }
}

TEST_F(FileStreamTest, JapaneseNamesAreStoredAsUtf8OnDisk) {
    const AnsiString name = Sjis("形状データ.rgn");
    ASSERT_NE(name, "形状データ.rgn");
    {
        TFileStream f(path(name), fmCreate);
        f.WriteBuffer("1", 1);
    }
    EXPECT_TRUE(QFile::exists(dir_.path() + QString::fromUtf8("/形状データ.rgn")));
    const AnsiString missing = path(Sjis("無い.rgn"));
    try {
        TFileStream f(missing, fmOpenRead);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
    }
}

}  // namespace
