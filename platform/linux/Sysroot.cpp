// SPDX-License-Identifier: MIT
#include "Sysroot.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace nROOTSCOPE_1_0 {

namespace {

// As many links as the kernel follows in one lookup before it gives ELOOP.
constexpr int kMaxLinks = 40;
constexpr std::size_t kLinkLimit = PATH_MAX;

int systemOpenAt(int dir, const char* path, int flags, void*) {
    return ::openat(dir, path, flags);
}

long systemRead(int fd, void* buffer, std::size_t size, void*) {
    return static_cast<long>(::read(fd, buffer, size));
}

int systemStatAt(int dir, const char* path, struct stat* info, int flags, void*) {
    return ::fstatat(dir, path, info, flags);
}

long systemReadLinkAt(int dir, const char* path, char* buffer, std::size_t size, void*) {
    return static_cast<long>(::readlinkat(dir, path, buffer, size));
}

constexpr tFileCalls kSystemCalls{systemOpenAt, systemRead, systemStatAt, systemReadLinkAt, nullptr};
const tFileCalls* gCalls = &kSystemCalls;

// Non-blocking, so that a FIFO or a device in a copy cannot hang the open,
// and never through a last link: links are followed by resolve() alone.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;

std::string joined(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (!path.empty() && !name.empty()) {
        path += '/';
    }
    path += name;
    return path;
}

// A real path as the calls take it: the root itself is ".".
const char* callPath(const std::string& real) {
    return real.empty() ? "." : real.c_str();
}

// Takes the next component off the front of `pending`.
std::string_view nextComponent(std::string_view& pending) {
    while (!pending.empty() && pending.front() == '/') {
        pending.remove_prefix(1);
    }
    const std::size_t end = std::min(pending.find('/'), pending.size());
    const std::string_view component = pending.substr(0, end);
    pending.remove_prefix(end);
    return component;
}

bool onlySlashes(std::string_view text) {
    return text.find_first_not_of('/') == std::string_view::npos;
}

void dropLastComponent(std::string& real) {
    const std::size_t slash = real.rfind('/');
    real.erase(slash == std::string::npos ? 0 : slash);
}

struct tCloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

}  // namespace

std::string tReadFailure::describe() const {
    return path + ": " + (error != 0 ? std::string(std::strerror(error)) : reason);
}

bool isAbsentError(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG || error == ENXIO ||
           error == ENODEV;
}

const tFileCalls* useFileCalls(const tFileCalls* calls) {
    const tFileCalls* previous = gCalls;
    gCalls = calls != nullptr ? calls : &kSystemCalls;
    return previous;
}

tSysFile::~tSysFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

long tSysFile::read(void* buffer, std::size_t size) const {
    return gCalls->read(fd_, buffer, size, gCalls->context);
}

int tSysFile::readAll(std::size_t limit, std::string& text, bool& truncated) const {
    text.clear();
    char chunk[4096];
    while (text.size() <= limit) {
        const long got = read(chunk, std::min(sizeof chunk, limit + 1 - text.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    truncated = text.size() > limit;
    text.resize(std::min(text.size(), limit));
    return 0;
}

tSysroot::~tSysroot() {
    if (rootFd_ >= 0) {
        ::close(rootFd_);
    }
}

bool tSysroot::open(tReadFailure& failure) {
    if (rootFd_ >= 0) {
        return true;
    }
    rootFd_ = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd_ < 0) {
        failure = {root_, errno, {}};
        return false;
    }
    return true;
}

std::string tSysroot::shown(std::string_view asked) const {
    std::string path = root_;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += asked;
    return path;
}

tRead tSysroot::fail(const tSysDir& from, std::string_view path, int error, tReadFailure& failure) const {
    failure = {shown(joined(from.asked, path)), error, {}};
    return isAbsentError(error) ? tRead::kAbsent : tRead::kFailed;
}

int tSysroot::resolve(std::string_view from, std::string_view path, bool followLast, std::string& real,
                      struct stat& info) const {
    // What is left to walk; a link's target takes the place of its name.
    std::string pending(path);
    real = !path.empty() && path.front() == '/' ? std::string() : std::string(from);
    int links = 0;
    bool haveInfo = false;
    for (;;) {
        std::string_view rest(pending);
        const std::string_view component = nextComponent(rest);
        if (component.empty()) {
            break;
        }
        const bool last = onlySlashes(rest);
        if (component == "." || component == "..") {
            if (component == "..") {
                dropLastComponent(real);  // at the root, ".." is the root
            }
            pending.erase(0, pending.size() - rest.size());
            haveInfo = false;
            continue;
        }
        if (component.size() > NAME_MAX) {
            return ENAMETOOLONG;
        }
        std::string candidate = joined(real, component);
        if (gCalls->statAt(rootFd_, candidate.c_str(), &info, AT_SYMLINK_NOFOLLOW, gCalls->context) != 0) {
            return errno;
        }
        if (S_ISLNK(info.st_mode) && (!last || followLast)) {
            if (++links > kMaxLinks) {
                return ELOOP;
            }
            char target[kLinkLimit];
            const long length = gCalls->readLinkAt(rootFd_, candidate.c_str(), target, sizeof target, gCalls->context);
            if (length < 0) {
                return errno;
            }
            if (static_cast<std::size_t>(length) >= sizeof target) {
                return ENAMETOOLONG;  // cut short: where it leads is unknown
            }
            const std::string_view link(target, static_cast<std::size_t>(length));
            if (link.empty()) {
                return ENOENT;
            }
            if (link.front() == '/') {
                real.clear();
            }
            pending = std::string(link) + "/" + std::string(rest);
            haveInfo = false;
            continue;
        }
        if (!last && !S_ISDIR(info.st_mode)) {
            return ENOTDIR;
        }
        real = std::move(candidate);
        pending.erase(0, pending.size() - rest.size());
        haveInfo = true;
    }
    if (!haveInfo && gCalls->statAt(rootFd_, callPath(real), &info, AT_SYMLINK_NOFOLLOW, gCalls->context) != 0) {
        return errno;
    }
    return 0;
}

int tSysroot::openReal(const std::string& real, int flags) const {
    return gCalls->openAt(rootFd_, callPath(real), flags, gCalls->context);
}

tRead tSysroot::directory(const tSysDir& from, std::string_view path, tSysDir& found, tReadFailure& failure) const {
    struct stat info {};
    std::string real;
    if (const int error = resolve(from.real, path, true, real, info); error != 0) {
        return fail(from, path, error, failure);
    }
    if (!S_ISDIR(info.st_mode)) {
        return fail(from, path, ENOTDIR, failure);
    }
    found.real = std::move(real);
    found.asked = joined(from.asked, path);
    return tRead::kRead;
}

tRead tSysroot::exists(const tSysDir& from, std::string_view path, tReadFailure& failure) const {
    struct stat info {};
    std::string real;
    if (const int error = resolve(from.real, path, true, real, info); error != 0) {
        return fail(from, path, error, failure);
    }
    return tRead::kRead;
}

tRead tSysroot::hasEntry(const tSysDir& from, std::string_view path, tReadFailure& failure) const {
    struct stat info {};
    std::string real;
    if (const int error = resolve(from.real, path, false, real, info); error != 0) {
        return fail(from, path, error, failure);
    }
    return tRead::kRead;
}

tRead tSysroot::followLink(const tSysDir& from, std::string_view name, std::string& real, struct stat& info,
                           tReadFailure& failure) const {
    std::string self;
    if (const int error = resolve(from.real, name, false, self, info); error != 0) {
        return fail(from, name, error, failure);
    }
    if (!S_ISLNK(info.st_mode)) {
        return tRead::kOdd;
    }
    if (const int error = resolve(from.real, name, true, real, info); error != 0) {
        return fail(from, name, error, failure);
    }
    return tRead::kRead;
}

tRead tSysroot::openFile(const tSysDir& from, std::string_view path, tSysFile& file, tReadFailure& failure) const {
    // Most names are no link: open them at once, and resolve only a name
    // that the open finds to be one (ELOOP under O_NOFOLLOW).
    std::string real;
    int fd = -1;
    if (path.find('/') == std::string_view::npos && path != "." && path != "..") {
        real = joined(from.real, path);
        fd = openReal(real, kReadFlags);
        if (fd < 0 && errno != ELOOP) {
            return fail(from, path, errno, failure);
        }
    }
    if (fd < 0) {
        struct stat info {};
        if (const int error = resolve(from.real, path, true, real, info); error != 0) {
            return fail(from, path, error, failure);
        }
        fd = openReal(real, kReadFlags);
        if (fd < 0) {
            return fail(from, path, errno, failure);
        }
    }
    if (file.fd_ >= 0) {
        ::close(file.fd_);
    }
    file.fd_ = fd;
    if (gCalls->statAt(fd, "", &file.info_, AT_EMPTY_PATH, gCalls->context) != 0) {
        return fail(from, path, errno, failure);
    }
    return tRead::kRead;
}

tRead tSysroot::readFile(const tSysDir& from, std::string_view path, std::size_t limit, std::string& text,
                         tReadFailure& failure, bool* truncated) const {
    tSysFile file;
    if (const tRead opened = openFile(from, path, file, failure); opened != tRead::kRead) {
        return opened;
    }
    if (!S_ISREG(file.info().st_mode)) {
        return tRead::kOdd;
    }
    bool cut = false;
    if (const int error = file.readAll(limit, text, cut); error != 0) {
        return fail(from, path, error, failure);
    }
    if (truncated != nullptr) {
        *truncated = cut;
        return tRead::kRead;
    }
    return cut ? tRead::kOdd : tRead::kRead;
}

tRead tSysroot::listDirectory(const tSysDir& from, std::string_view path, std::size_t limit, tSysDir& found,
                              std::vector<std::string>& names, tReadFailure& failure) const {
    names.clear();
    const tRead read = directory(from, path, found, failure);
    return read == tRead::kRead ? list(found, limit, names, failure) : read;
}

tRead tSysroot::list(const tSysDir& dir, std::size_t limit, std::vector<std::string>& names,
                     tReadFailure& failure) const {
    names.clear();
    const int fd = openReal(dir.real, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return fail(dir, "", errno, failure);
    }
    const std::unique_ptr<DIR, tCloseDirectory> listing(::fdopendir(fd));
    if (!listing) {
        const int error = errno;
        ::close(fd);
        return fail(dir, "", error, failure);
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                const int error = errno;
                failure = {shown(dir.asked), error, {}};
                return tRead::kFailed;  // a listing cut short is never "missing"
            }
            return tRead::kRead;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        if (names.size() == limit) {
            failure = {shown(dir.asked), 0, "more than " + std::to_string(limit) + " entries"};
            return tRead::kFailed;
        }
        names.emplace_back(name);
    }
}

}  // namespace nROOTSCOPE_1_0
