#include "settings/announced_mail.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirectoryMode = 0700;
constexpr char kFilePrefix[] = "announced-";
constexpr char kFirstLine[] = "# Postwren: messages announced\n";
constexpr char kServerTag[] = "server ";
constexpr char kUserTag[] = "user ";
// RFC 1939 7: a unique-id is 1 to 70 characters from 0x21 to 0x7E.
constexpr std::size_t kMaxUidLength = 70;
// Far beyond what any mailbox's uids take; a file grown past it is not ours.
constexpr std::size_t kMaxFileBytes = 32 * 1024 * 1024;
constexpr int kTempAttempts = 16;

// FNV-1a, 64 bits: a short, stable file name for any server and user.
std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string Hex(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, value >>= 4) out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return out;
}

bool IsUid(std::string_view uid) {
    if (uid.empty() || uid.size() > kMaxUidLength)
        return false;
    for (char c : uid) {
        if (c < 0x21 || c > 0x7E)
            return false;
    }
    return true;
}

fs::path HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return {};
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The folder and its parents, made for this user only where they are new.
int EnsureDirectory(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec))
        return 0;
    if (!dir.parent_path().empty() && dir.parent_path() != dir) {
        if (const int error = EnsureDirectory(dir.parent_path()); error != 0)
            return error;
    }
    if (::mkdir(dir.c_str(), kDirectoryMode) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

}  // namespace

AnnouncedMail::AnnouncedMail(fs::path directory, const AnsiString& server, const AnsiString& user)
    : server_(server), user_(user) {
    path_ = std::move(directory) / (kFilePrefix + Hex(Fnv1a(server + '\n' + user)));
}

fs::path AnnouncedMail::DefaultDirectory() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] == '/')
        base = xdg;
    else
        base = HomeDirectory() / ".local" / "state";
    return base / "postwren";
}

std::string AnnouncedMail::ownerLines() const {
    return kServerTag + EscapeControls(server_) + '\n' + kUserTag + EscapeControls(user_) + '\n';
}

std::optional<std::set<std::string>> AnnouncedMail::Load() const {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileBytes)
            break;
    }
    ::close(fd);
    const std::string owner = kFirstLine + ownerLines();
    if (text.size() > kMaxFileBytes || !text.starts_with(owner))
        return std::nullopt;
    std::set<std::string> uids;
    std::string_view rest = std::string_view(text).substr(owner.size());
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (IsUid(line))
            uids.emplace(line);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return uids;
}

int AnnouncedMail::Save(const std::vector<std::string>& announced) const {
    std::string text = kFirstLine + ownerLines();
    for (const std::string& uid : announced) {
        if (IsUid(uid))
            text += uid + '\n';
    }
    if (const int error = EnsureDirectory(path_.parent_path()); error != 0)
        return error;

    // A temporary file beside the record, then one rename over it: a reader
    // (or a crash) sees the old record or the whole new one.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
        std::uint64_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return errno != 0 ? errno : EIO;
        tmp = path_.string() + ".tmp-" + Hex(random);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;
    // The umask may have narrowed the mode; nothing may widen it.
    bool ok = ::fchmod(fd, kFileMode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(tmp.c_str(), path_.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return error != 0 ? error : EIO;
    }
    const int dfd = ::open(path_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}
