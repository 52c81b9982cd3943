// Image files on POSIX: what the path names decides how the picture is
// written (links, FIFOs, modes and owners, folders that take no new file).
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "image_fixture.h"

namespace tavorin::test {
namespace {

std::string linkTarget(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// Runs `step` as an ordinary user, since root may write any file: as root
// (CI) in a child that has given up its privileges. Returns what the step
// returned, or 100 and up when the child could not run it.
int asOrdinaryUser(const std::function<int()>& step) {
    if (geteuid() != 0) return step();
    pid_t child = fork();
    if (child < 0) return 101;
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        _exit(step());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 102;
    return WEXITSTATUS(status);
}

// A folder in the build tree: its file system keeps extended attributes,
// where the system's temporary folder may be a tmpfs that does not.
struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = std::string(TAVORIN_TEST_SCRATCH_DIR) + "/attributes-XXXXXX";
        if (mkdtemp(pattern.data())) path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// An access list as the kernel stores it (system.posix_acl_access or
// _default): owner rw-, one named user r--, group r--, mask r--, others ---.
Bytes accessList(uid_t namedUser) {
    Bytes value;
    auto put = [&](std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i) value.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    put(2, 4);  // the format's version
    const std::uint32_t none = 0xffffffffu;
    const std::uint32_t entries[5][3] = {
        {0x01, 6, none}, {0x02, 4, namedUser}, {0x04, 4, none}, {0x10, 4, none}, {0x20, 0, none}};
    for (const auto& e : entries) {
        put(e[0], 2);
        put(e[1], 2);
        put(e[2], 4);
    }
    return value;
}

// The attribute's value; ENODATA in `error` when the file has none.
Bytes attribute(const std::string& path, const char* name, int* error = nullptr) {
    Bytes value(4096);
    ssize_t n = getxattr(path.c_str(), name, value.data(), value.size());
    if (error) *error = n < 0 ? errno : 0;
    value.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return value;
}

TEST_F(ImageTest, ALongNameTakesThePictureAndAReplacedFileKeepsItsModeAndOwner) {
    int h = openPort();
    Bytes data = pattern(3000);
    Bytes image = imageReply(subHeader(20), data, 3020);

    // 250 bytes is a name the system takes, so the temporary beside it must
    // fit as well.
    const std::string longName = std::string(246, 'n') + ".jpg";
    peer->send(image);
    ASSERT_EQ(Ombrix_ImageRecv(h, (folder + "/" + longName).c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(readFile(folder + "/" + longName), data);
    EXPECT_EQ(folderEntries(), std::set<std::string>{longName});

    // A private picture stays private, and as root keeps its owner too.
    writePrevious();
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    peer->send(image);
    ASSERT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 2);
    struct stat after {};
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(readFile(target), data);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST_F(ImageTest, AReplacedFileKeepsItsExtendedAttributesAndAFileWithTwoNamesIsRewrittenInPlace) {
    int h = openPort();
    Bytes data = pattern(3000);
    Bytes image = imageReply(subHeader(20), data, 3020);

    ScratchFolder scratch;
    ASSERT_FALSE(scratch.path.empty());
    const std::string noted = scratch.path + "/noted.jpg";
    const std::string plain = scratch.path + "/plain.jpg";
    std::ofstream(noted) << "previous image";
    std::ofstream(plain) << "previous image";
    ASSERT_EQ(chmod(noted.c_str(), 0640), 0);
    const Bytes list = accessList(65534);
    ASSERT_EQ(setxattr(noted.c_str(), "user.tavorin.origin", "scanner 1", 9, 0), 0)
        << "the build tree's file system must keep user attributes: " << std::strerror(errno);
    ASSERT_EQ(setxattr(noted.c_str(), "system.posix_acl_access", list.data(), list.size(), 0), 0)
        << "the build tree's file system must keep access lists: " << std::strerror(errno);
    // New files in the folder inherit a list of their own; a replaced
    // picture must carry the old file's attributes, not those.
    const Bytes inherited = accessList(4242);
    ASSERT_EQ(setxattr(scratch.path.c_str(), "system.posix_acl_default", inherited.data(),
                       inherited.size(), 0),
              0);
    const Bytes listBefore = attribute(noted, "system.posix_acl_access");
    ASSERT_FALSE(listBefore.empty());

    for (const std::string& path : {noted, plain}) {
        peer->send(image);
        ASSERT_EQ(Ombrix_ImageRecv(h, path.c_str(), reply, sizeof reply, 2), 2) << path;
        EXPECT_EQ(readFile(path), data) << path;
    }
    EXPECT_EQ(attribute(noted, "user.tavorin.origin"), bytes("scanner 1"));
    EXPECT_EQ(attribute(noted, "system.posix_acl_access"), listBefore);
    struct stat st {};
    ASSERT_EQ(stat(noted.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    int error = 0;
    EXPECT_TRUE(attribute(plain, "system.posix_acl_access", &error).empty());
    EXPECT_EQ(error, ENODATA) << "the folder's inherited list was left on the picture";
    EXPECT_EQ(entries(scratch.path), (std::set<std::string>{"noted.jpg", "plain.jpg"}));

    // Two names of one file both show the new picture, and only once the
    // whole picture came.
    const std::string second = folder + "/second.jpg";
    writePrevious();
    ASSERT_EQ(link(target.c_str(), second.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    peer->send(Bytes(image.begin(), image.begin() + 7 + 20 + 1500));
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_TIMEOUT);
    EXPECT_EQ(readFile(second), bytes("previous image"));
    peer->send(image);
    ASSERT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(readFile(target), data);
    EXPECT_EQ(readFile(second), data);
    ASSERT_EQ(stat(second.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, before.st_ino);
    EXPECT_EQ(st.st_nlink, 2u);
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"picture.jpg", "second.jpg"}));
}

TEST_F(ImageTest, LinksAreFollowedAndAFifoIsWrittenNotReplaced) {
    int h = openPort();
    Bytes data = pattern(3000);
    Bytes image = imageReply(subHeader(20), data, 3020);

    // A chain of two links, the inner one relative to its own folder: both
    // stay links, the file at the end gets the picture.
    ASSERT_EQ(mkdir((folder + "/real").c_str(), 0700), 0);
    const std::string real = folder + "/real/picture.jpg";
    std::ofstream(real) << "previous image";
    ASSERT_EQ(symlink("real/picture.jpg", (folder + "/inner").c_str()), 0);
    ASSERT_EQ(symlink((folder + "/inner").c_str(), (folder + "/shown.jpg").c_str()), 0);
    peer->send(image);
    ASSERT_EQ(Ombrix_ImageRecv(h, (folder + "/shown.jpg").c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(readFile(real), data);
    EXPECT_EQ(linkTarget(folder + "/shown.jpg"), folder + "/inner");
    EXPECT_EQ(linkTarget(folder + "/inner"), "real/picture.jpg");
    EXPECT_EQ(entries(folder + "/real"), std::set<std::string>{"picture.jpg"});

    // A FIFO a viewer reads from receives the bytes and stays a FIFO.
    const std::string fifo = folder + "/viewer.jpg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int viewer = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(viewer, 0);
    peer->send(image);
    EXPECT_EQ(Ombrix_ImageRecv(h, fifo.c_str(), reply, sizeof reply, 2), 2);
    Bytes seen;
    unsigned char block[4096];
    for (ssize_t n; (n = read(viewer, block, sizeof block)) > 0;)
        seen.insert(seen.end(), block, block + n);
    close(viewer);
    EXPECT_EQ(seen, data);

    // With nobody reading, the transfer fails at once instead of hanging,
    // and the scanner's bytes are drained.
    peer->send(image);
    EXPECT_EQ(Ombrix_ImageRecv(h, fifo.c_str(), reply, sizeof reply, 2), OMBRIX_E_FILE);
    EXPECT_EQ(Ombrix_RecvChk(h), 0);
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"inner", "real", "shown.jpg", "viewer.jpg"}));
}

TEST_F(ImageTest, AnOrdinaryUserKeepsOutOfProtectedFilesAndRewritesInPlaceWhereNoFileCanBeMade) {
    int h = openPort();
    // The user must reach the folder and be allowed to make files in it, so
    // that only the file's own protection can refuse the picture.
    ASSERT_EQ(chmod(dir.runtimeDir().c_str(), 0711), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    const std::string guarded = folder + "/guarded.jpg";
    std::ofstream(guarded) << "previous image";
    ASSERT_EQ(chmod(guarded.c_str(), 0444), 0);
    // A folder that takes no new file, with a file anyone may write.
    const std::string locked = folder + "/locked";
    const std::string writable = locked + "/open.jpg";
    ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
    std::ofstream(writable) << "previous image";
    ASSERT_EQ(chmod(writable.c_str(), 0666), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    // A shared sticky folder (like /tmp) with someone else's writable file:
    // a new file could be made there, but not renamed over that one.
    const std::string shared = folder + "/shared";
    const std::string theirs = shared + "/theirs.jpg";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    std::ofstream(theirs) << "previous image";
    ASSERT_EQ(chmod(theirs.c_str(), 0666), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    struct stat openBefore {
    }, theirsBefore{};
    ASSERT_EQ(stat(writable.c_str(), &openBefore), 0);
    ASSERT_EQ(stat(theirs.c_str(), &theirsBefore), 0);

    Bytes data = pattern(3000);
    Bytes image = imageReply(subHeader(20), data, 3020);
    Bytes cutShort(image.begin(), image.begin() + 7 + 20 + 1500);
    int failedStep = asOrdinaryUser([&] {
        unsigned char r[16];
        peer->send(image);
        if (Ombrix_ImageRecv(h, guarded.c_str(), r, sizeof r, 2) != OMBRIX_E_FILE) return 1;
        int32_t length = 0, received = -1;
        Ombrix_ImageProgress(h, &length, &received);
        if (length != 3020 || received != 0 || Ombrix_RecvChk(h) != 0) return 2;
        // Rewriting in place still waits for the whole picture.
        peer->send(cutShort);
        if (Ombrix_ImageRecv(h, writable.c_str(), r, sizeof r, 2) != OMBRIX_E_TIMEOUT) return 3;
        if (readFile(writable) != bytes("previous image")) return 4;
        peer->send(image);
        if (Ombrix_ImageRecv(h, writable.c_str(), r, sizeof r, 2) != 2) return 5;
        peer->send(image);
        if (Ombrix_ImageRecv(h, theirs.c_str(), r, sizeof r, 2) != 2) return 6;
        return 0;
    });
    EXPECT_EQ(failedStep, 0) << "1-2 protected file, 3-5 locked folder, 6 sticky folder";

    EXPECT_EQ(readFile(guarded), bytes("previous image"));
    struct stat after {};
    ASSERT_EQ(stat(writable.c_str(), &after), 0);
    EXPECT_EQ(readFile(writable), data);
    EXPECT_EQ(after.st_ino, openBefore.st_ino) << "rewritten in place";
    ASSERT_EQ(stat(theirs.c_str(), &after), 0);
    EXPECT_EQ(readFile(theirs), data);
    EXPECT_EQ(after.st_uid, theirsBefore.st_uid);
    EXPECT_EQ(entries(locked), std::set<std::string>{"open.jpg"});
    EXPECT_EQ(entries(shared), std::set<std::string>{"theirs.jpg"});
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"guarded.jpg", "locked", "shared"}));
    // The folder must be writable again for the clean-up.
    chmod(locked.c_str(), 0700);
}

// A file rewritten in place is taken for one writer at a time: while
// another holds it, the transfer waits, as long as a reply's first byte
// would be awaited, then fails with the system's reason; a holder that lets
// go in time gets the picture written; a cancel from another thread ends
// the wait. The file is untouched until the transfer has it.
TEST_F(ImageTest, AFileAnotherWriterHoldsIsWaitedForWithinTheTransfersBounds) {
    int h = openPort();
    Bytes data = pattern(3000);
    Bytes image = imageReply(subHeader(20), data, 3020);
    writePrevious();
    const std::string second = folder + "/second.jpg";
    ASSERT_EQ(link(target.c_str(), second.c_str()), 0);
    // Another writer's lock, taken or given up.
    auto lock = [&](int fd, short type) {
        struct flock whole {};
        whole.l_type = type;
        whole.l_whence = SEEK_SET;
        EXPECT_EQ(fcntl(fd, F_OFD_SETLK, &whole), 0) << std::strerror(errno);
    };
    ASSERT_EQ(Ombrix_TimeoutSet(h, 300, -1), 0);
    struct Row {
        const char* what;
        std::function<void(int holder)> meanwhile;
        int32_t result;
        int failure;
        Bytes after;
    };
    const Row rows[] = {
        {"held throughout", [](int) {}, OMBRIX_E_FILE, EAGAIN, bytes("previous image")},
        {"let go while the transfer waits", [&](int holder) { lock(holder, F_UNLCK); }, 2, 0, data},
        {"a cancel while it waits", [h](int) { Ombrix_ComCancel(h); }, OMBRIX_E_CANCELLED, 0,
         bytes("previous image")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        writePrevious();
        const int holder = open(target.c_str(), O_RDWR | O_CLOEXEC);
        lock(holder, F_WRLCK);
        peer->send(image);
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            row.meanwhile(holder);
        });
        EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), row.result);
        other.join();
        EXPECT_EQ(Ombrix_FileFailure(h), row.failure);
        EXPECT_EQ(readFile(second), row.after);
        close(holder);
    }
    EXPECT_EQ(Ombrix_FileFailure(-1), OMBRIX_E_PARAM);
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"picture.jpg", "second.jpg"}));
}

}  // namespace
}  // namespace tavorin::test
