// SPDX-License-Identifier: MIT
// A directory tree read as a closed world: this machine's own "/", or a copy
// of one (a test fixture, another machine's capture). Every path, and every
// symbolic link met on the way, is resolved beneath the root: an absolute
// link starts again at the root and ".." stops there, as the kernel's
// RESOLVE_IN_ROOT does. So a copy reads the same on every machine, and
// nothing outside it is ever read.
//
// Each call says what it found: kRead; kAbsent when nothing is there (a
// missing name, a link that dangles or loops, a name too long, a device
// node without a driver, a device going away); kOdd for contents the call
// refuses (not a regular file, longer than asked for); kFailed when the
// tree could not be read (no descriptors or memory left, an I/O error, no
// permission). kAbsent and kFailed come with what was asked for and why.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nROOTSCOPE_1_0 {

enum class tRead { kRead, kAbsent, kOdd, kFailed };

// What could not be read and why: the path as it was asked for, under the
// root ("/sys/bus/acpi/devices/PNP0A08:00/status"), and the error number,
// or a reason of its own where no call failed.
struct tReadFailure {
    std::string path;
    int error = 0;
    std::string reason;

    // "PATH: REASON", the reason from strerror when there is an error number.
    std::string describe() const;
};

// True for the errors that mean nothing usable is there: what does not
// exist, a link that dangles or loops, a name too long to look up, a device
// node or socket without a driver (ENXIO), a device being removed (ENODEV).
bool isAbsentError(int error);

// A list read with tSysroot::listDirectory that is there, or that is simply
// not there (ENOENT, ENOTDIR). A list that loops or cannot be reached for
// another reason is a machine that cannot be read, not an empty one.
inline bool listedOrMissing(tRead listed, const tReadFailure& failure) {
    return listed == tRead::kRead ||
           (listed == tRead::kAbsent && (failure.error == ENOENT || failure.error == ENOTDIR));
}

// A directory beneath the root: where it really is (relative to the root,
// with no link in it; "" for the root itself) and the path it was asked for
// by (relative to the root too), which is what messages name.
struct tSysDir {
    std::string real;
    std::string asked;
};

// The system calls through which the tree's files are found, opened and
// read: the system's own unless a test installs others to make one of them
// fail. Every call that can fail while a path is resolved is here, so that
// none of them can be failed in a test and taken for "nothing there" unseen.
struct tFileCalls {
    int (*openAt)(int dir, const char* path, int flags, void* context);
    long (*read)(int fd, void* buffer, std::size_t size, void* context);
    // fstatat(2): `flags` AT_SYMLINK_NOFOLLOW to look at a link itself,
    // AT_EMPTY_PATH with "" for the open file `dir`.
    int (*statAt)(int dir, const char* path, struct stat* info, int flags, void* context);
    // readlinkat(2): the link's target, not terminated; its length or -1.
    long (*readLinkAt)(int dir, const char* path, char* buffer, std::size_t size, void* context);
    void* context;
};

// Installs `calls` (null: the system's own). Returns the ones it replaced.
const tFileCalls* useFileCalls(const tFileCalls* calls);

// An open file of the tree, closed when it goes.
class tSysFile {
public:
    tSysFile() = default;
    ~tSysFile();
    tSysFile(const tSysFile&) = delete;
    tSysFile& operator=(const tSysFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const struct stat& info() const { return info_; }

    // One read(2) through the installed calls: bytes read, 0 at the end, or
    // -1 with errno set.
    long read(void* buffer, std::size_t size) const;

    // Reads what is left, at most `limit` bytes, into `text`; `truncated`
    // tells that there was more. 0, or the error number of a failed read.
    int readAll(std::size_t limit, std::string& text, bool& truncated) const;

private:
    friend class tSysroot;
    int fd_ = -1;
    struct stat info_ {};
};

class tSysroot {
public:
    // `root` is "/" for this machine, else the directory that stands for it.
    explicit tSysroot(std::string root) : root_(std::move(root)) {}
    ~tSysroot();
    tSysroot(const tSysroot&) = delete;
    tSysroot& operator=(const tSysroot&) = delete;

    // Opens the root, once for all later calls. False, with the failure,
    // when it is no directory that can be opened.
    bool open(tReadFailure& failure);

    // The root itself.
    static tSysDir top() { return {}; }

    // The directory `path` leads to from `from`. kAbsent also when it leads
    // to something that is not a directory (ENOTDIR).
    tRead directory(const tSysDir& from, std::string_view path, tSysDir& found, tReadFailure& failure) const;

    // Where the link `name` in `from` leads (its real path), with what is
    // there. kOdd when `name` is not a link.
    tRead followLink(const tSysDir& from, std::string_view name, std::string& real, struct stat& info,
                     tReadFailure& failure) const;

    // kRead when something is at `path` from `from` (links followed),
    // kAbsent when nothing is.
    tRead exists(const tSysDir& from, std::string_view path, tReadFailure& failure) const;

    // kRead when `path` from `from` names an entry, whatever it is: its last
    // link is not followed, so one that dangles or loops is there too.
    tRead hasEntry(const tSysDir& from, std::string_view path, tReadFailure& failure) const;

    // The regular file `path` from `from`, whole and at most `limit` bytes;
    // one that is longer, or not a regular file, is kOdd. With `truncated`
    // given, a longer file gives its first `limit` bytes and sets it.
    tRead readFile(const tSysDir& from, std::string_view path, std::size_t limit, std::string& text,
                   tReadFailure& failure, bool* truncated = nullptr) const;

    // Opens `path` from `from` for reading without blocking, whatever it is,
    // for callers that read a device themselves.
    tRead openFile(const tSysDir& from, std::string_view path, tSysFile& file, tReadFailure& failure) const;

    // The names in `dir` but "." and "..", in the file system's order. More
    // than `limit` of them is kFailed: a list cut short would drop entries,
    // and which ones would depend on that order.
    tRead list(const tSysDir& dir, std::size_t limit, std::vector<std::string>& names, tReadFailure& failure) const;

    // The directory `path` from `from` and the names in it, as directory()
    // and list() give them: kAbsent when there is no such directory (the
    // failure says why), kFailed when it cannot be found or listed.
    tRead listDirectory(const tSysDir& from, std::string_view path, std::size_t limit, tSysDir& found,
                        std::vector<std::string>& names, tReadFailure& failure) const;

    // `asked` (relative to the root) as a path a person can find: "/sys/..."
    // for this machine, "DIR/sys/..." for a copy.
    std::string shown(std::string_view asked) const;

private:
    // Resolves `path` from the real directory `from` into `real`, following
    // links beneath the root (the last component too when `followLast`),
    // with `info` of what it names. Returns 0 or the error number.
    int resolve(std::string_view from, std::string_view path, bool followLast, std::string& real,
                struct stat& info) const;
    tRead fail(const tSysDir& from, std::string_view path, int error, tReadFailure& failure) const;
    // Opens the real path `real` with `flags` (never following a last link).
    int openReal(const std::string& real, int flags) const;

    std::string root_;
    int rootFd_ = -1;
};

// Opens the tree under `root` and reads it with `read(const tSysroot&)`. A
// heap that runs out is the reading's failure, "ROOT: Cannot allocate
// memory", not an exception: the readers' callers take no exceptions.
template <typename tReader>
bool readBeneath(const std::string& root, tReadFailure& failure, tReader&& read) {
    tSysroot sysroot(root);
    if (!sysroot.open(failure)) {
        return false;
    }
    try {
        return read(static_cast<const tSysroot&>(sysroot));
    } catch (const std::bad_alloc&) {
        failure = {sysroot.shown(""), ENOMEM, {}};
        return false;
    }
}

}  // namespace nROOTSCOPE_1_0
