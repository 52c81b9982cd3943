#include "image_fixture.h"

namespace tavorin::test {
namespace {

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
        // The picture goes on past its length: what follows it is no reply.
        {"length short of the picture", imageReply(subHeader(10), pattern(200), 110),
         OMBRIX_E_COMM},
        {"a closing reply longer than the buffer",
         imageReply(subHeader(10), pattern(100), 110, bytes(std::string(100, 'A') + "\x06.")),
         OMBRIX_E_COMM},
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
    EXPECT_EQ(received, 3000);  // every byte that arrived, the chunk cut short included

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
