#include "core/hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include "core/clock.h"
#include "core/hive_document.h"

namespace platform {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDamagedSuffix = ".damaged-";
constexpr int kMaxDamagedNameTries = 100;
constexpr std::string_view kTempInfix = ".tmp-";
// Temporary names are "<file>.tmp-" and this many letters or digits, as
// earlier versions made them with mkstemp.
constexpr std::size_t kTempRandomLength = 6;
constexpr int kMaxTempNameTries = 100;
constexpr std::string_view kLockSuffix = ".lock";
// How long a change waits for another writer to finish before it gives up.
constexpr std::chrono::seconds kLockWait{10};
constexpr std::chrono::milliseconds kLockRetry{2};
// As the kernel's own limit on links followed in one lookup.
constexpr int kMaxLinkHops = 40;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

HiveStatus failed(HiveError error, int systemError = 0) {
    return HiveStatus::Failed(error, systemError);
}

enum class FileState { Missing, Ok, Damaged, Unreadable };

struct LoadedFile {
    FileState state = FileState::Missing;
    int systemError = 0;
    HiveDocument doc;
};

HiveStatus statusOf(const LoadedFile& f) {
    switch (f.state) {
        case FileState::Ok:
        case FileState::Missing:
            return HiveStatus::Ok();
        case FileState::Damaged:
            return failed(HiveError::Damaged);
        case FileState::Unreadable:
            break;
    }
    return failed(HiveError::Unreadable, f.systemError);
}

LoadedFile unreadable(int error) {
    LoadedFile f;
    f.state = FileState::Unreadable;
    f.systemError = error;
    return f;
}

LoadedFile loadFile(const fs::path& path) {
    LoadedFile result;
    // O_NONBLOCK: a FIFO in the file's place must not hang us.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        // A link that leads nowhere is not an empty hive: whatever it was
        // meant to reach must not be replaced by one.
        if (error == ENOENT && ::lstat(path.c_str(), &st) != 0)
            return result;
        return unreadable(error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return unreadable(EINVAL);
    }
    if (static_cast<std::uint64_t>(st.st_size) > HiveFile::MaxFileSize) {
        ::close(fd);
        result.state = FileState::Damaged;
        return result;
    }
    // Read at most one byte more than allowed, whatever the size said: the
    // file may grow while we read it.
    std::string text(HiveFile::MaxFileSize + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return unreadable(error);
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got > HiveFile::MaxFileSize) {
        result.state = FileState::Damaged;
        return result;
    }
    text.resize(got);
    if (auto doc = HiveDocument::Parse(text)) {
        result.state = FileState::Ok;
        result.doc = std::move(*doc);
    } else {
        result.state = FileState::Damaged;
    }
    return result;
}

// The file a change replaces: `path` itself, or the end of the chain of
// symbolic links it starts. ENOENT for a link that leads nowhere, ELOOP for
// a chain that does not end.
std::optional<fs::path> resolveLinks(const fs::path& path, int& error) {
    fs::path current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            error = errno;
            if (error == ENOENT && hop == 0)
                return current;  // no file yet: it is made here
            return std::nullopt;
        }
        if (!S_ISLNK(st.st_mode))
            return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        target.resize(static_cast<std::size_t>(n));
        const fs::path next(target);
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    error = ELOOP;
    return std::nullopt;
}

bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // WORKAROUND: some file systems lack RENAME_NOREPLACE; a hard link refuses
    // an existing target just the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    return ::unlink(from.c_str()) == 0;
}

// Moves a damaged file aside under a name that is not taken yet; its new
// name, or nullopt with errno set.
std::optional<std::string> moveAside(const fs::path& path) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = path.string() + std::string(kDamagedSuffix) + stamp;
    for (int n = 1; n <= kMaxDamagedNameTries; ++n) {
        const std::string target = n == 1 ? base : base + "-" + std::to_string(n);
        if (renameNoReplace(path.string(), target))
            return target;
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

// Creates the directory and any missing parents with mode 0700. Existing
// directories keep their mode.
bool ensureDirectory(const fs::path& dir) {
    if (dir.empty())
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        errno = ENOTDIR;
        return S_ISDIR(st.st_mode);
    }
    if (errno != ENOENT)
        return false;
    if (dir.has_parent_path() && dir.parent_path() != dir && !ensureDirectory(dir.parent_path()))
        return false;
    return ::mkdir(dir.c_str(), kDirectoryMode) == 0 || errno == EEXIST;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool isTempName(std::string_view name, std::string_view fileName) {
    if (name.size() != fileName.size() + kTempInfix.size() + kTempRandomLength ||
        name.substr(0, fileName.size()) != fileName || name.substr(fileName.size(), kTempInfix.size()) != kTempInfix)
        return false;
    for (const char c : name.substr(fileName.size() + kTempInfix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

// Removes the temporary files of this store that a killed writer left in
// `dir`: ours by name and owner, regular files only. Called under the lock,
// so no writer of ours is using one.
void removeStaleTemps(const fs::path& dir, const std::string& fileName) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return;
    const int dfd = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
        if (!isTempName(e->d_name, fileName))
            continue;
        struct stat st {};
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlinkat(dfd, e->d_name, 0);
    }
    ::closedir(d);
}

// A new temporary file beside `path`, made by us alone: nothing planted under
// its name is followed or reused. Its descriptor and name; -1 with errno set.
int createTemp(const fs::path& path, std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < kMaxTempNameTries; ++attempt) {
        unsigned char random[kTempRandomLength];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return -1;
        name = path.string() + std::string(kTempInfix);
        for (const unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Replaces the file with `text` so that a reader sees either the old file or
// the whole new one, never a part: write a temporary file beside it, flush it
// to the disk, then rename it over the old one. 0 or an errno value.
int replaceFile(const fs::path& path, std::string_view text) {
    std::string tmp;
    const int fd = createTemp(path, tmp);
    if (fd < 0)
        return errno;
    // The mode asked for at creation may have been narrowed by the umask.
    bool ok = ::fchmod(fd, kFileMode) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return error != 0 ? error : EIO;
    }
    // Make the rename itself durable. The new file is in place already, so a
    // failure here is not reported as a failed write.
    const fs::path dir = path.parent_path();
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

// The clock of hives made without one.
const Clock& SystemClock() {
    static const SteadyClock clock;
    return clock;
}

// An exclusive lock on "<file>.lock", held while the object lives.
class WriterLock {
public:
    WriterLock(const fs::path& file, const Clock& clock) {
        const std::string name = file.string() + std::string(kLockSuffix);
        fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kFileMode);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        // Bounded, so that a writer that hangs cannot hang us with it.
        const auto deadline = clock.Now() + kLockWait;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || clock.Now() >= deadline) {
                error_ = errno == EINTR ? EWOULDBLOCK : errno;
                ::close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(kLockRetry);
        }
    }
    ~WriterLock() {
        if (fd_ >= 0)
            ::close(fd_);  // releases the lock
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    bool held() const { return fd_ >= 0; }
    int error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

}  // namespace

HiveFile::HiveFile(fs::path path, const Clock* clock)
    : path_(std::move(path)), clock_(clock ? *clock : SystemClock()) {}

fs::path HiveFile::DefaultPath() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        base = homeDirectory() / ".config";
    }
    return base / "postwren" / "user.reg";
}

HiveStatus HiveFile::change(bool replaceDamaged, const std::function<HiveStatus(HiveDocument&)>& edit) {
    if (!ensureDirectory(path_.parent_path()))
        return failed(HiveError::WriteFailed, errno);
    WriterLock lock(path_, clock_);
    if (!lock.held())
        return failed(HiveError::WriteFailed, lock.error());
    int linkError = 0;
    const std::optional<fs::path> target = resolveLinks(path_, linkError);
    if (!target)
        return failed(HiveError::Unreadable, linkError);
    LoadedFile f = loadFile(*target);
    if (f.state == FileState::Unreadable)
        return statusOf(f);
    if (f.state == FileState::Damaged) {
        if (!replaceDamaged)
            return statusOf(f);
        if (!moveAside(*target))
            return failed(HiveError::WriteFailed, errno);
        f.doc = HiveDocument();
    }
    if (const HiveStatus edited = edit(f.doc); !edited)
        return edited;
    const std::string text = f.doc.Serialize();
    // Never write what the next load would refuse as damaged.
    if (text.size() > MaxFileSize)
        return failed(HiveError::WriteFailed, EFBIG);
    removeStaleTemps(target->parent_path(), target->filename().string());
    if (const int error = replaceFile(*target, text); error != 0)
        return failed(HiveError::WriteFailed, error);
    return HiveStatus::Ok();
}

HiveStatus HiveFile::keyExists(std::string_view keyPath) {
    const LoadedFile f = loadFile(path_);
    if (const HiveStatus s = statusOf(f); !s)
        return s;
    return f.doc.KeyExists(keyPath) ? HiveStatus::Ok() : failed(HiveError::NotFound);
}

HiveStatus HiveFile::createKey(std::string_view keyPath) {
    // Nothing to write when the key is there already.
    if (keyExists(keyPath))
        return HiveStatus::Ok();
    return change(true, [&](HiveDocument& doc) {
        return doc.CreateKey(keyPath) ? HiveStatus::Ok() : failed(HiveError::WriteFailed, EINVAL);
    });
}

HiveStatus HiveFile::valueExists(std::string_view keyPath, std::string_view name) {
    const LoadedFile f = loadFile(path_);
    if (const HiveStatus s = statusOf(f); !s)
        return s;
    HiveValue ignored;
    const HiveStatus found = f.doc.Find(keyPath, name, ignored);
    // A value that is there but cannot be read still exists.
    return found.error == HiveError::Unreadable ? HiveStatus::Ok() : found;
}

HiveStatus HiveFile::readValue(std::string_view keyPath, std::string_view name, HiveValue& out) {
    const LoadedFile f = loadFile(path_);
    if (const HiveStatus s = statusOf(f); !s)
        return s;
    return f.doc.Find(keyPath, name, out);
}

HiveStatus HiveFile::readKey(std::string_view keyPath, HiveKeySnapshot& out) {
    // One open and one read: a change replaces the file by renaming a new
    // one over it, so what one descriptor reads is one state of the store.
    const LoadedFile f = loadFile(path_);
    if (const HiveStatus s = statusOf(f); !s)
        return s;
    return f.doc.ReadKey(keyPath, out);
}

HiveStatus HiveFile::writeValue(std::string_view keyPath, std::string_view name, const HiveValue& value) {
    return writeValues(keyPath, {NamedHiveValue{std::string(name), value}}, false);
}

HiveStatus HiveFile::writeValues(std::string_view keyPath, const std::vector<NamedHiveValue>& values, bool createKey) {
    // Without creating, a damaged file holds no key to write into; creating
    // moves it aside first.
    return change(createKey, [&](HiveDocument& doc) {
        if (createKey && !doc.CreateKey(keyPath))
            return failed(HiveError::NotFound);
        if (!doc.KeyExists(keyPath))
            return failed(HiveError::NotFound);
        for (const NamedHiveValue& v : values) {
            HiveValue present;
            if (v.onlyWherePresent && doc.Find(keyPath, v.name, present).error == HiveError::NotFound)
                continue;
            if (!doc.SetValue(keyPath, v.name, v.value))
                return failed(HiveError::WriteFailed, EINVAL);
        }
        return HiveStatus::Ok();
    });
}

HiveStatus HiveFile::setAsideDamaged(std::string& movedTo) {
    if (!ensureDirectory(path_.parent_path()))
        return failed(HiveError::WriteFailed, errno);
    WriterLock lock(path_, clock_);
    if (!lock.held())
        return failed(HiveError::WriteFailed, lock.error());
    int linkError = 0;
    const std::optional<fs::path> target = resolveLinks(path_, linkError);
    if (!target)
        return failed(HiveError::Unreadable, linkError);
    const LoadedFile f = loadFile(*target);
    if (f.state != FileState::Damaged)
        return f.state == FileState::Unreadable ? statusOf(f) : failed(HiveError::NotFound);
    const std::optional<std::string> moved = moveAside(*target);
    if (!moved)
        return failed(HiveError::WriteFailed, errno);
    movedTo = *moved;
    return HiveStatus::Ok();
}

}  // namespace platform
