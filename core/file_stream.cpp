#include "core/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned kAccessMask = 0x0003;
constexpr mode_t kNewFileMode = 0666;  // less the umask, as for any new file

// The system's reason in English whatever the locale, so messages stay one language.
AnsiString reasonText(int err) {
    const char* text = strerrordesc_np(err);
    return text != nullptr ? AnsiString(text) : "Error " + IntToStr(err);
}

// Names inside the program are CP932; names on disk are UTF-8. Bytes that are
// not CP932 are taken as they are.
std::string diskName(const AnsiString& name) {
    return TryCp932ToUtf8(name).value_or(name);
}

}  // namespace

TFileStream::TFileStream(const AnsiString& FileName, unsigned Mode) : fileName_(FileName) {
    const bool create = Mode == fmCreate;
    int flags = O_CLOEXEC;
    int err = 0;
    if (create) {
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    } else {
        switch (Mode & kAccessMask) {
            case fmOpenRead:
                flags |= O_RDONLY;
                break;
            case fmOpenWrite:
                flags |= O_WRONLY;
                break;
            case fmOpenReadWrite:
                flags |= O_RDWR;
                break;
            default:
                err = EINVAL;
                break;
        }
    }
    if (err == 0) {
        fd_ = ::open(diskName(FileName).c_str(), flags, kNewFileMode);
        if (fd_ < 0)
            err = errno;
    }
    if (err == 0) {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            err = errno;
        } else if (S_ISDIR(st.st_mode)) {
            err = EISDIR;
        }
        if (err != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (err != 0) {
        if (create)
            throw EFCreateError("Cannot create file \"" + FileName + "\". " + reasonText(err));
        throw EFOpenError("Cannot open file \"" + FileName + "\". " + reasonText(err));
    }
}

TFileStream::~TFileStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    std::int64_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < count) {
        const ssize_t n = ::pread(fd_, out + done, static_cast<size_t>(count - done), position_ + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    position_ += done;
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    std::int64_t done = 0;
    const auto* in = static_cast<const char*>(buffer);
    while (done < count) {
        const ssize_t n = ::pwrite(fd_, in + done, static_cast<size_t>(count - done), position_ + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    position_ += done;
    return done;
}

std::int64_t TFileStream::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return 0;
    return static_cast<std::int64_t>(st.st_size);
}

void TFileStream::SetSize(std::int64_t size) {
    size = std::max<std::int64_t>(size, 0);
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        throw Exception("Cannot resize file \"" + fileName_ + "\". " + reasonText(errno));
    }
    if (position_ > size)
        position_ = size;
}
