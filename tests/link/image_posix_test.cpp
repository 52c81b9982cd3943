// Image files on POSIX: what the path names decides how the picture is
// written (links, FIFOs, modes and owners, folders that take no new file).
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

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

}  // namespace
}  // namespace tavorin::test
