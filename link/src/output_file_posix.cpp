// The file an image goes to on POSIX: a temporary that replaces the target
// on commit, or the target itself rewritten from memory where a rename
// would change what the user sees (with room for the picture reserved
// before the old one is touched), or a FIFO or device written directly.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "device.h"
#include "device_buffers.h"
#include "posix_support.h"

namespace ombrix {

const int kNoMemoryError = ENOMEM;

namespace {

// Writes all of `bytes` at the descriptor's offset, or at `at` when it is
// given; false with errno set (EIO for a write that took nothing).
bool writeAll(int fd, const unsigned char* bytes, std::size_t size, off_t at = -1) {
    while (size > 0) {
        ssize_t n = at < 0 ? ::write(fd, bytes, size) : ::pwrite(fd, bytes, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
        if (at >= 0) at += n;
    }
    return true;
}

// Writes into a temporary that replaces the target on commit.
class ReplacingFile final : public BatchedFile {
  public:
    ReplacingFile(int dirFd, int fd, std::string temp, std::string name)
        : dirFd_(dirFd), fd_(fd), temp_(std::move(temp)), name_(std::move(name)) {}

    ~ReplacingFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlinkat(dirFd_, temp_.c_str(), 0);
        ::close(dirFd_);
    }

    Commit commit() override {
        // fsync before the rename: otherwise a power loss right after it
        // can leave an empty file under the user's name, which is exactly
        // what writing to a temporary is meant to prevent.
        if (!flush()) return Commit::Failed;
        if (::fsync(fd_) != 0) return failed();
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return failed();
        if (::renameat(dirFd_, temp_.c_str(), dirFd_, name_.c_str()) != 0) return failed();
        committed_ = true;
        return Commit::Done;
    }

  private:
    bool writeThrough(const unsigned char* bytes, std::size_t size) override {
        return writeAll(fd_, bytes, size) || fail(errno);
    }
    Commit failed() {
        fail(errno);
        return Commit::Failed;
    }

    int dirFd_;
    int fd_;
    std::string temp_;
    std::string name_;
    bool committed_ = false;
};

// The target itself, rewritten in place once the picture is whole.
class InPlaceFile final : public RewrittenFile {
  public:
    explicit InPlaceFile(int fd) : fd_(fd) {}
    // Closing the descriptor also gives the lock up.
    ~InPlaceFile() override { ::close(fd_); }

  private:
    Lock lock() override {
        // An open file description lock: held by this descriptor alone, so
        // that two transfers in one process exclude each other as two
        // processes do, and no other descriptor's close drops it.
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (::fcntl(fd_, F_OFD_SETLK, &whole) == 0) return Lock::Taken;
        if (errno == EAGAIN || errno == EACCES) {
            fail(errno);
            return Lock::Busy;
        }
        // A file system that keeps no such locks (EINVAL, ENOLCK): the
        // rewrite goes on without one.
        if (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) return Lock::Taken;
        fail(errno);
        return Lock::Failed;
    }
    std::int64_t length() override {
        struct stat st {};
        if (::fstat(fd_, &st) == 0) return st.st_size;
        fail(errno);
        return -1;
    }
    Reserve reserve(std::uint64_t size) override {
        if (size == 0) return Reserve::Done;
        // Blocks for the whole picture, the file's length kept: the old
        // picture stays what every reader sees until it is written over.
        int r;
        do {
            r = ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
        } while (r != 0 && errno == EINTR);
        if (r == 0) return Reserve::Done;
        if (errno == EOPNOTSUPP || errno == ENOSYS) return Reserve::Unsupported;
        fail(errno);
        return Reserve::Failed;
    }
    bool writeAt(std::uint64_t offset, const unsigned char* bytes, std::size_t size) override {
        return writeAll(fd_, bytes, size, static_cast<off_t>(offset)) || fail(errno);
    }
    bool setLength(std::uint64_t size) override {
        return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 || fail(errno);
    }
    bool sync() override { return ::fsync(fd_) == 0 || fail(errno); }

    int fd_;
};

// A FIFO or a device, written directly with the whole picture. The writes
// never block: a reader that takes nothing for a while leaves the caller
// free to wait for it, or for a cancel, in slices.
class StreamFile final : public HeldFile {
  public:
    explicit StreamFile(int fd) : fd_(fd) {}
    ~StreamFile() override { ::close(fd_); }

    void waitCommit(int ms) override {
        pollfd p{fd_, POLLOUT, 0};
        (void)::poll(&p, 1, ms);
    }

  private:
    Commit writeOut(const unsigned char* bytes, std::size_t size) override {
        SigpipeGuard guard;
        while (done_ < size) {
            ssize_t n = ::write(fd_, bytes + done_, size - done_);
            if (n > 0) {
                done_ += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Commit::Blocked;
            if (n < 0 && errno == EPIPE) guard.raised();
            fail(n < 0 ? errno : EIO);
            return Commit::Failed;
        }
        return Commit::Done;
    }

    int fd_;
    std::size_t done_ = 0;
};

// Follows symbolic links in the last component of `path` until it names
// something that is not a link, or nothing yet: the user's link stays, its
// final target receives the picture. Directories on the way are resolved by
// the kernel. False, with errno set, for a loop or an unreadable link.
bool followLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n < 0) return errno == EINVAL || errno == ENOENT;
        if (n == 0 || static_cast<std::size_t>(n) == sizeof target) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::string next(target, static_cast<std::size_t>(n));
        // A relative link is relative to the directory that holds it.
        std::string::size_type slash = path.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
        path = std::move(next);
    }
    errno = ELOOP;
    return false;
}

// Creates the temporary in the target's directory, so that the rename stays
// on one file system and is atomic. Its name is hidden, short and of fixed
// length -- a target whose own name uses the whole name limit must still
// have one -- and random, so that two transfers into one directory never
// collide. -1 when the directory refuses.
int createTemporary(int dirFd, std::string& name) {
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char candidate[32];
        std::snprintf(candidate, sizeof candidate, ".ombrix-%08x", static_cast<unsigned>(rd()));
        // 0666 under the umask: a new image gets the permissions any newly
        // created file of the user would have.
        int fd = ::openat(dirFd, candidate, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Asks a size-then-fill system call (flistxattr, fgetxattr) for its whole
// answer. The answer can grow between the two calls when another process
// adds to the file meanwhile; then it is asked again. False on a failure,
// such as ENOTSUP from a file system that keeps no extended attributes.
template <class Ask>
bool askWhole(Ask ask, std::vector<char>& answer) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t size = ask(nullptr, 0);
        if (size < 0) return false;
        answer.resize(static_cast<std::size_t>(size));
        if (size == 0) return true;
        ssize_t n = ask(answer.data(), answer.size());
        if (n >= 0) {
            answer.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

// The names of the file's extended attributes, each ended by a zero; none
// where the file system keeps none.
std::vector<char> attributeNames(int fd) {
    std::vector<char> names;
    if (!askWhole([fd](char* list, std::size_t size) { return ::flistxattr(fd, list, size); },
                  names)) {
        names.clear();
    }
    return names;
}

// Calls `each` with every name of a flistxattr list.
template <class Each>
void forEachName(const std::vector<char>& names, Each each) {
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        std::size_t length = ::strnlen(name, names.size() - at);
        if (length > 0) each(std::string(name, length));
        at += length + 1;
    }
}

// Gives the temporary the replaced file's extended attributes -- its access
// list (system.posix_acl_access), the user's own user.* notes, a security
// label -- and drops any it got by being created (a folder's default access
// list), so that the new picture carries what the old one had, no more and
// no less. Each attribute is copied as far as the process may and the file
// system keeps it: one that cannot be read or set (another user's file,
// a security.* name that needs privileges) is passed over, never a reason to
// fail the picture.
void takeOverExtendedAttributes(int from, int to) {
    std::vector<char> names = attributeNames(from);
    std::vector<std::string> kept;
    forEachName(names, [&](const std::string& name) { kept.push_back(name); });
    forEachName(attributeNames(to), [&](const std::string& name) {
        if (std::find(kept.begin(), kept.end(), name) == kept.end()) {
            (void)::fremovexattr(to, name.c_str());
        }
    });
    for (const std::string& name : kept) {
        std::vector<char> value;
        auto ask = [&](char* buffer, std::size_t size) {
            return ::fgetxattr(from, name.c_str(), buffer, size);
        };
        if (askWhole(ask, value))
            (void)::fsetxattr(to, name.c_str(), value.data(), value.size(), 0);
    }
}

// Gives the temporary the replaced file's owner, group, extended attributes
// and permission bits, as far as the process may. A set-id bit is kept only
// with the owner or group it belongs to. The attributes go before the mode:
// a file made read-only refuses new user.* attributes even to its owner.
void takeOverAttributes(int fd, int oldFd, const struct stat& old) {
    mode_t mode = old.st_mode & 07777;
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID);
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            mode &= ~static_cast<mode_t>(S_ISGID);
        }
    }
    takeOverExtendedAttributes(oldFd, fd);
    (void)::fchmod(fd, mode);
}

}  // namespace

std::unique_ptr<OutputFile> createOutputFile(const char* path, int& error) {
    // Every refusal below keeps the system's reason, taken before any
    // clean-up can change errno.
    auto refuseWith = [&](int why) -> std::unique_ptr<OutputFile> {
        error = why;
        return nullptr;
    };
    std::string target(path);
    if (!followLinks(target)) return refuseWith(errno);

    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    // A path that ends in a slash names a directory.
    if (name.empty()) return refuseWith(EISDIR);
    // Everything below works relative to the directory, so that the name
    // checked is the name replaced even if a directory above is renamed.
    // O_PATH needs no read permission: a directory of mode 0300 still works.
    int dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return refuseWith(errno);
    auto refuse = [&](int why) -> std::unique_ptr<OutputFile> {
        ::close(dirFd);
        return refuseWith(why);
    };

    struct stat old {};
    if (::fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        // Nothing there yet: a new file, through a temporary.
        if (errno != ENOENT) return refuse(errno);
        std::string temp;
        int fd = createTemporary(dirFd, temp);
        if (fd < 0) return refuse(errno);
        return std::make_unique<ReplacingFile>(dirFd, fd, temp, name);
    }
    // A directory can be neither replaced nor written; a link here was
    // put in after followLinks() looked.
    if (S_ISDIR(old.st_mode)) return refuse(EISDIR);
    if (S_ISLNK(old.st_mode)) return refuse(ELOOP);

    if (!S_ISREG(old.st_mode)) {
        // A FIFO, a device: written directly, never replaced. O_NONBLOCK
        // makes a FIFO without a reader fail now (ENXIO) instead of
        // blocking the transfer forever, and keeps every later write from
        // blocking. O_NOCTTY keeps a tty from becoming ours.
        int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return refuse(errno);
        ::close(dirFd);
        return std::make_unique<StreamFile>(fd);
    }

    // An existing file that the process may not write stays as it is, even
    // though the directory would let a new file take its name. Opening it
    // (without truncating) asks the kernel, which knows every rule: modes,
    // access lists, read-only mounts, immutable files.
    int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return refuse(errno);

    // In a sticky directory only the file's or the directory's owner may
    // rename over it; that rename would fail only after the whole image
    // was taken from the line.
    struct stat dirSt {};
    uid_t me = ::geteuid();
    bool renameRefused = ::fstat(dirFd, &dirSt) == 0 && (dirSt.st_mode & S_ISVTX) && me != 0 &&
                         old.st_uid != me && dirSt.st_uid != me;
    // A file with more than one name is rewritten in place as well: a
    // rename would give this name a new file and leave the others showing
    // the old picture.
    bool inPlace = renameRefused || old.st_nlink > 1;
    std::string temp;
    int tempFd = inPlace ? -1 : createTemporary(dirFd, temp);
    if (tempFd < 0) {
        // The directory takes no new file: rewrite the file in place.
        ::close(dirFd);
        return std::make_unique<InPlaceFile>(fd);
    }
    takeOverAttributes(tempFd, fd, old);
    ::close(fd);
    return std::make_unique<ReplacingFile>(dirFd, tempFd, temp, name);
}

}  // namespace ombrix
