#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "link_fixture.h"

namespace tavorin::test {
namespace {

// An image reply as the scanner sends it: SYN, a byte, L least significant
// byte first, a byte, the sub-header (ending in GS), the data, the closing
// reply.
Bytes imageReply(const Bytes& subHeader, const Bytes& data, std::uint32_t length,
                 const Bytes& closing = Bytes{0x06, '.'}) {
    Bytes out{0x16,
              0x00,
              static_cast<unsigned char>(length),
              static_cast<unsigned char>(length >> 8),
              static_cast<unsigned char>(length >> 16),
              static_cast<unsigned char>(length >> 24),
              0x00};
    out.insert(out.end(), subHeader.begin(), subHeader.end());
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), closing.begin(), closing.end());
    return out;
}

Bytes subHeader(std::size_t size) {
    Bytes s(size, 'h');
    s.back() = 0x1D;
    return s;
}

Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 7 + i / 251);
    return b;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        closedir(d);
    }
    return names;
}

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

class ImageTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        folder = dir.runtimeDir() + "/images";
        mkdir(folder.c_str(), 0700);
        target = folder + "/picture.jpg";
    }

    // The names in the image folder: a transfer must never leave its
    // temporary behind.
    std::set<std::string> folderEntries() const { return entries(folder); }

    void writePrevious() { std::ofstream(target, std::ios::binary) << "previous image"; }

    // Sends `data` from a thread in pieces, `gap` apart, as a slow line does.
    std::thread sendPaced(Bytes data, std::size_t piece, std::chrono::milliseconds gap) {
        return std::thread([this, data = std::move(data), piece, gap] {
            for (std::size_t at = 0; at < data.size(); at += piece) {
                std::size_t n = std::min(piece, data.size() - at);
                peer->send(Bytes(data.begin() + static_cast<long>(at),
                                 data.begin() + static_cast<long>(at + n)));
                std::this_thread::sleep_for(gap);
            }
        });
    }

    std::string folder;
    std::string target;
    unsigned char reply[64] = {};
};

TEST_F(ImageTest, StoresExactlyTheImageDataAndReturnsTheClosingReply) {
    int h = openPort();
    Bytes data = pattern(4056);
    peer->send(imageReply(subHeader(40), data, 4096));
    ASSERT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(Bytes(reply, reply + 2), (Bytes{0x06, '.'}));
    EXPECT_EQ(readFile(target), data);
    int32_t length = -1, received = -1;
    EXPECT_EQ(Ombrix_ImageProgress(h, &length, &received), OMBRIX_IMAGE_IDLE);
    EXPECT_EQ(length, 4096);
    EXPECT_EQ(received, 4056);
    EXPECT_EQ(folderEntries(), std::set<std::string>{"picture.jpg"});

    // L equal to the sub-header: an empty file, and the closing reply still
    // comes through.
    peer->send(imageReply(subHeader(12), {}, 12, bytes("\x06!")));
    ASSERT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(Bytes(reply, reply + 2), bytes("\x06!"));
    EXPECT_TRUE(exists(target));
    EXPECT_TRUE(readFile(target).empty());
}

TEST_F(ImageTest, OrdinaryReplyAndBadArgumentsMakeNoFile) {
    int h = openPort();
    peer->send(Bytes{'I', 'M', 'G', 0x15, '.'});
    ASSERT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 5);
    EXPECT_EQ(Bytes(reply, reply + 5), (Bytes{'I', 'M', 'G', 0x15, '.'}));
    EXPECT_FALSE(exists(target));
    int32_t length = -1;
    EXPECT_EQ(Ombrix_ImageProgress(h, &length, nullptr), OMBRIX_IMAGE_IDLE);
    EXPECT_EQ(length, 0);

    // Mode 1, no path, an empty path: refused before anything is read.
    peer->send(bytes("X."));
    ASSERT_TRUE(waitQueued(h, 2));
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 1), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_ImageRecv(h, nullptr, reply, sizeof reply, 2), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_ImageRecv(h, "", reply, sizeof reply, 2), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, 0, 2), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_RecvChk(h), 2);
    EXPECT_EQ(Ombrix_ImageRecv(12, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_ImageRecv(3, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_ImageProgress(3, &length, nullptr), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_ImageProgress(-1, nullptr, nullptr), OMBRIX_E_NOT_OPEN);
}

TEST_F(ImageTest, BrokenHeadersFailWithTheInputDrainedAndThePreviousFileKept) {
    int h = openPort();
    writePrevious();
    struct Case {
        const char* name;
        Bytes stream;
        int32_t result;
    };
    Bytes longSub = subHeader(1100);
    const Case cases[] = {
        {"length 0", imageReply(subHeader(10), pattern(20), 0), OMBRIX_E_COMM},
        {"sub-header over 1025 bytes", imageReply(longSub, pattern(100), 1200), OMBRIX_E_NO_ROOM},
        {"length below the sub-header", imageReply(subHeader(40), pattern(100), 20), OMBRIX_E_COMM},
        {"length past the signed range", imageReply(subHeader(10), pattern(10), 0x80000000u),
         OMBRIX_E_COMM},
        {"header cut short", Bytes{0x16, 0x00, 0x10}, OMBRIX_E_COMM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer->send(c.stream);
        EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), c.result);
        EXPECT_EQ(Ombrix_RecvChk(h), 0);
        EXPECT_EQ(readFile(target), bytes("previous image"));
        EXPECT_EQ(folderEntries(), std::set<std::string>{"picture.jpg"});
        EXPECT_EQ(Ombrix_ImageProgress(h, nullptr, nullptr), OMBRIX_IMAGE_IDLE);
    }

    // A file that cannot be made fails before the data is taken, and the
    // scanner's bytes are drained so that the next command starts clean.
    std::string nowhere = folder + "/missing/picture.jpg";
    peer->send(imageReply(subHeader(10), pattern(500), 510));
    EXPECT_EQ(Ombrix_ImageRecv(h, nowhere.c_str(), reply, sizeof reply, 2), OMBRIX_E_FILE);
    EXPECT_EQ(Ombrix_RecvChk(h), 0);
    peer->send(imageReply(subHeader(10), pattern(500), 510));
    EXPECT_EQ(Ombrix_ImageRecv(h, folder.c_str(), reply, sizeof reply, 2), OMBRIX_E_FILE)
        << "a directory cannot be replaced by the image";
    EXPECT_EQ(Ombrix_RecvChk(h), 0);
}

TEST_F(ImageTest, StallInsideAChunkTimesOutAfterASecondAndLeavesNoTruncatedFile) {
    int h = openPort();
    writePrevious();
    Bytes stream = imageReply(subHeader(20), pattern(3000), 5020);
    stream.resize(7 + 20 + 3000);  // the scanner stops 2000 bytes short
    peer->send(stream);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_TIMEOUT);
    long long waited = msSince(start);
    EXPECT_GE(waited, 1000);
    EXPECT_LT(waited, 2500);
    EXPECT_EQ(readFile(target), bytes("previous image"));
    EXPECT_EQ(folderEntries(), std::set<std::string>{"picture.jpg"});
    int32_t length = 0, received = 0;
    EXPECT_EQ(Ombrix_ImageProgress(h, &length, &received), OMBRIX_IMAGE_IDLE);
    EXPECT_EQ(length, 5020);
    EXPECT_EQ(received, 2048);  // progress counts whole chunks only

    // The image is complete but the closing reply never comes: the file
    // stands, the call reports the missing reply.
    Ombrix_TimeoutSet(h, 300, -1);
    peer->send(imageReply(subHeader(20), pattern(100), 120, {}));
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_TIMEOUT);
    EXPECT_EQ(readFile(target), pattern(100));
}

TEST_F(ImageTest, ProgressFromThePumpGrowsAndACancelDrainsTheRest) {
    int h = openPort();
    writePrevious();
    Bytes data = pattern(40 * 1024);
    Bytes stream = imageReply(subHeader(30), data, static_cast<std::uint32_t>(data.size() + 30));
    std::thread sender = sendPaced(stream, 1024, 2ms);

    std::vector<int32_t> seen;
    bool busyRefused = false;
    pumpAction() = [&] {
        int32_t length = 0, received = 0;
        int32_t state = Ombrix_ImageProgress(h, &length, &received);
        if (state != OMBRIX_IMAGE_RUNNING) return;
        if (seen.empty() || seen.back() != received) seen.push_back(received);
        // The program's close box during a transfer: refused, port kept.
        if (!busyRefused && received > 0) busyRefused = Ombrix_PortClose(h) == OMBRIX_E_BUSY;
        if (received >= 20 * 1024) Ombrix_ComCancel(h);
    };
    int32_t r = Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2);
    sender.join();
    pumpAction() = nullptr;

    EXPECT_EQ(r, OMBRIX_E_CANCELLED);
    EXPECT_TRUE(busyRefused);
    ASSERT_GE(seen.size(), 3u);
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
    // Everything the scanner still sent was drained; the old picture stands.
    EXPECT_EQ(Ombrix_RecvChk(h), 0);
    EXPECT_EQ(readFile(target), bytes("previous image"));
    EXPECT_EQ(folderEntries(), std::set<std::string>{"picture.jpg"});
    EXPECT_EQ(Ombrix_ImageProgress(h, nullptr, nullptr), OMBRIX_IMAGE_IDLE);
    EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK);
}

TEST_F(ImageTest, HangUpMidImageEndsPromptly) {
    int h = openPort();
    Bytes stream = imageReply(subHeader(20), pattern(1500), 3020);
    stream.resize(7 + 20 + 1500);
    peer->send(stream);
    pumpOnceAfter(100ms, [&] { peer->hangUp(); });
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_COMM);
    EXPECT_LT(msSince(start), 600);
    EXPECT_FALSE(exists(target));
    EXPECT_EQ(folderEntries(), std::set<std::string>{});
}

TEST_F(ImageTest, CancelFromAnotherThreadWithoutAPumpKeepsThePreviousFile) {
    int h = openPort();
    Ombrix_PumpSet(nullptr);
    writePrevious();
    Bytes data = pattern(40 * 1024);
    std::thread sender = sendPaced(
        imageReply(subHeader(30), data, static_cast<std::uint32_t>(data.size() + 30)), 1024, 2ms);
    std::thread canceller([&] {
        int32_t received = 0;
        while (Ombrix_ImageProgress(h, nullptr, &received) != OMBRIX_IMAGE_RUNNING ||
               received < 10 * 1024) {
            std::this_thread::sleep_for(1ms);
        }
        Ombrix_ComCancel(h);
    });
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_CANCELLED);
    canceller.join();
    sender.join();
    EXPECT_EQ(readFile(target), bytes("previous image"));
    EXPECT_EQ(folderEntries(), std::set<std::string>{"picture.jpg"});
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

TEST_F(ImageTest, DebugDumpKeepsEveryByteAfterTheSyn) {
    int h = openPort();
    Ombrix_TimeoutSet(h, 300, 2000);
    // 3000 bytes make two full blocks and a partial one: the byte that
    // ends each full block must be in the dump as well.
    Bytes stream = imageReply(subHeader(16), pattern(2974), 2990);
    peer->send(stream);
    int32_t lengthField = -1, count = -1;
    std::string dump = folder + "/dump.bin";
    EXPECT_EQ(Ombrix_ImageDebug(h, dump.c_str(), reply, sizeof reply, &lengthField, &count),
              OMBRIX_OK);
    EXPECT_EQ(lengthField, 2990);
    EXPECT_EQ(count, static_cast<int32_t>(stream.size() - 1));
    EXPECT_EQ(readFile(dump), Bytes(stream.begin() + 1, stream.end()));

    // An ordinary reply is returned as such.
    peer->send(bytes("OK\x06."));
    EXPECT_EQ(Ombrix_ImageDebug(h, dump.c_str(), reply, sizeof reply, &lengthField, &count), 4);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Ombrix_ImageDebug(h, dump.c_str(), reply, sizeof reply, nullptr, &count),
              OMBRIX_E_PARAM);
}

}  // namespace
}  // namespace tavorin::test
