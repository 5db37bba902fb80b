// Files as byte streams, and the errors that name the file.
#pragma once

#include <cstdint>

#include "core/exception.h"
#include "core/streams.h"
#include "core/text.h"

// Open modes: fmCreate, or one access mode or-ed with a share mode. Share
// modes are accepted for the callers' sake; the file system does not enforce them.
constexpr unsigned fmCreate = 0xFF00;  // create, replacing an existing file; read and write
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;
constexpr unsigned fmShareCompat = 0x0000;
constexpr unsigned fmShareExclusive = 0x0010;
constexpr unsigned fmShareDenyWrite = 0x0020;
constexpr unsigned fmShareDenyRead = 0x0030;
constexpr unsigned fmShareDenyNone = 0x0040;

// The file could not be created: "Cannot create file "<name>". <reason>".
class EFCreateError : public Exception {
public:
    using Exception::Exception;
};

// The file could not be opened: "Cannot open file "<name>". <reason>".
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// A stream over an open file; the file is closed when the stream is destroyed.
// Reads and writes go to Position. One thread at a time.
class TFileStream : public TStream {
public:
    // FileName is CP932 text. Raises EFCreateError (fmCreate) or EFOpenError,
    // both naming the file and the system's reason; a directory cannot be opened.
    TFileStream(const AnsiString& FileName, unsigned Mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    const char* ClassName() const override { return "TFileStream"; }
    // Return how many bytes were moved; fewer than asked at the end of the
    // file, on a read-only or write-only file, or on an I/O error.
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Size() const override;
    // Truncates or extends the file; raises Exception when the system refuses.
    void SetSize(std::int64_t size) override;

    const AnsiString& FileName() const { return fileName_; }
    // The file descriptor; owned by the stream.
    int Handle() const { return fd_; }

private:
    AnsiString fileName_;
    int fd_ = -1;
};
