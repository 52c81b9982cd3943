// The buffering both platforms' devices and image files share, against a
// scripted driver and a recording disk: what is asked of the system, in
// which sizes, and that every byte comes out once and in order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device_buffers.h"

namespace tavorin::test {
namespace {

using ombrix::Io;
using ombrix::IoResult;
using ombrix::ReadAhead;
using Bytes = std::vector<unsigned char>;

Bytes numbered(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 13 + i / 256);
    return b;
}

// A driver that answers each non-blocking read with the next scripted
// answer and records the size it was asked for.
struct ScriptedDriver {
    struct Answer {
        Io status;
        std::size_t count;  // bytes it has, for Io::Ok
    };
    std::vector<Answer> answers;
    std::vector<std::size_t> asked;
    Bytes stream;  // what it delivers, in order
    std::size_t at = 0;

    IoResult operator()(unsigned char* into, std::size_t most) {
        asked.push_back(most);
        if (asked.size() > answers.size()) return {Io::WouldBlock, 0};
        Answer a = answers[asked.size() - 1];
        if (a.status != Io::Ok) return {a.status, 0};
        std::size_t n = std::min(a.count, most);
        std::memcpy(into, stream.data() + at, n);
        at += n;
        return {Io::Ok, n};
    }
};

struct ReadCase {
    const char* what;
    std::vector<ScriptedDriver::Answer> answers;
    std::vector<std::size_t> reads;
    std::vector<IoResult> results;
    std::vector<std::size_t> asked;
};

TEST(ReadAheadTest, TakesFromTheBlockBeforeAskingTheDriverAndPassesFailuresOn) {
    const std::size_t block = ReadAhead::kBlock;
    const std::vector<ReadCase> cases = {
        {"a reply read a byte at a time costs one driver read",
         {{Io::Ok, 10}},
         {1, 4, 10},
         {{Io::Ok, 1}, {Io::Ok, 4}, {Io::Ok, 5}},
         {block}},
        {"a read of a block or more goes straight to the caller",
         {{Io::Ok, 6000}, {Io::Ok, 3}},
         {block + 1000, 1},
         {{Io::Ok, block + 1000}, {Io::Ok, 1}},
         {block + 1000, block}},
        {"held bytes are handed out first, even to a large read",
         {{Io::Ok, 3}, {Io::Ok, 2}},
         {1, 2 * block, 1},
         {{Io::Ok, 1}, {Io::Ok, 2}, {Io::Ok, 1}},
         {block, block}},
        {"failures come back as they are and leave nothing held",
         {{Io::WouldBlock, 0}, {Io::Gone, 0}, {Io::Error, 0}, {Io::Ok, 2}},
         {1, 1, 2 * block, 2},
         {{Io::WouldBlock, 0}, {Io::Gone, 0}, {Io::Error, 0}, {Io::Ok, 2}},
         {block, block, 2 * block, block}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        ReadAhead ahead;
        ScriptedDriver driver{c.answers, {}, numbered(3 * block), 0};
        Bytes got;
        for (std::size_t i = 0; i < c.reads.size(); ++i) {
            Bytes buffer(c.reads[i]);
            IoResult r = ahead.read(buffer.data(), buffer.size(), driver);
            EXPECT_EQ(r.status, c.results[i].status) << "read " << i;
            EXPECT_EQ(r.count, c.results[i].count) << "read " << i;
            if (r.status == Io::Ok) got.insert(got.end(), buffer.begin(), buffer.begin() + r.count);
        }
        EXPECT_EQ(driver.asked, c.asked);
        // Every byte the driver gave is handed out once, in order, or is
        // still held.
        EXPECT_EQ(got.size() + ahead.held(), driver.at);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), driver.stream.begin()));
    }
}

TEST(ReadAheadTest, APurgeDropsWhatIsHeldAndAKeptByteIsReadNextEvenAtTheBlocksEnd) {
    ReadAhead ahead;
    ScriptedDriver driver{{{Io::Ok, 5}, {Io::Ok, ReadAhead::kBlock}}, {}, numbered(8192), 0};
    unsigned char byte = 0;
    ASSERT_EQ(ahead.read(&byte, 1, driver).count, 1u);
    EXPECT_EQ(ahead.held(), 4u);
    ahead.clear();
    EXPECT_EQ(ahead.held(), 0u);

    // A wait keeps the byte it took from the driver; it is the next read.
    ASSERT_TRUE(ahead.keep('k'));
    ASSERT_EQ(ahead.read(&byte, 1, driver).count, 1u);
    EXPECT_EQ(byte, 'k');
    EXPECT_EQ(driver.asked.size(), 1u);

    // A full block with its first byte taken still has room at the front.
    Bytes first(1);
    ASSERT_EQ(ahead.read(first.data(), 1, driver).count, 1u);
    EXPECT_EQ(ahead.held(), ReadAhead::kBlock - 1);
    ASSERT_TRUE(ahead.keep('z'));
    EXPECT_FALSE(ahead.keep('!')) << "a full block takes no more";
    Bytes rest(2 * ReadAhead::kBlock);
    IoResult r = ahead.read(rest.data(), rest.size(), driver);
    ASSERT_EQ(r.count, ReadAhead::kBlock);
    EXPECT_TRUE(
        std::equal(rest.begin(), rest.begin() + ReadAhead::kBlock - 1, driver.stream.begin() + 6));
    EXPECT_EQ(rest[ReadAhead::kBlock - 1], 'z');
}

// A disk that records each write it is handed.
class RecordingBatchedFile final : public ombrix::BatchedFile {
  public:
    ombrix::Commit commit() override {
        return flush() ? ombrix::Commit::Done : ombrix::Commit::Failed;
    }
    std::vector<std::size_t> writes;
    Bytes disk;
    bool refuse = false;

  private:
    bool writeThrough(const unsigned char* bytes, std::size_t size) override {
        writes.push_back(size);
        if (refuse) return false;
        disk.insert(disk.end(), bytes, bytes + size);
        return true;
    }
};

TEST(BatchedFileTest, SmallChunksReachTheDiskInBatchesAndLargeOnesDirectly) {
    const std::size_t batch = ombrix::BatchedFile::kBatch;
    struct Case {
        const char* what;
        std::vector<std::size_t> chunks;
        std::vector<std::size_t> writes;
    };
    const std::vector<Case> cases = {
        {"a batch's worth of chunks is one write at commit",
         std::vector<std::size_t>(64, 1024),
         {batch}},
        {"one chunk more starts the next batch", std::vector<std::size_t>(65, 1024), {batch, 1024}},
        {"a large chunk goes after what was collected, and directly",
         {100, batch + 5, 100},
         {100, batch + 5, 100}},
        {"nothing written is nothing to write", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingBatchedFile file;
        Bytes sent;
        for (std::size_t size : c.chunks) {
            Bytes chunk = numbered(sent.size() + size);
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(sent.size()));
            ASSERT_TRUE(file.write(chunk.data(), chunk.size()));
            sent.insert(sent.end(), chunk.begin(), chunk.end());
        }
        ASSERT_EQ(file.commit(), ombrix::Commit::Done);
        EXPECT_EQ(file.writes, c.writes);
        EXPECT_EQ(file.disk, sent);
    }

    // A disk that refuses is told to the writer whose chunk needed it.
    RecordingBatchedFile full;
    full.refuse = true;
    Bytes chunk = numbered(batch / 2 + 1);
    EXPECT_TRUE(full.write(chunk.data(), chunk.size()));
    EXPECT_FALSE(full.write(chunk.data(), chunk.size()));
    EXPECT_EQ(full.writes, std::vector<std::size_t>{batch / 2 + 1});
}

class RecordingHeldFile final : public ombrix::HeldFile {
  public:
    std::vector<Bytes> writes;

  private:
    ombrix::Commit writeOut(const unsigned char* bytes, std::size_t size) override {
        writes.emplace_back(bytes, bytes + size);
        return ombrix::Commit::Done;
    }
};

TEST(HeldFileTest, TheFileIsWrittenOnceWithTheWholePictureAndOnlyOnCommit) {
    Bytes picture = numbered(200000);
    RecordingHeldFile file;
    for (std::size_t at = 0; at < picture.size(); at += 1024) {
        std::size_t n = std::min<std::size_t>(1024, picture.size() - at);
        ASSERT_TRUE(file.write(picture.data() + at, n));
    }
    EXPECT_TRUE(file.writes.empty()) << "a transfer that fails now must leave the file as it was";
    ASSERT_EQ(file.commit(), ombrix::Commit::Done);
    ASSERT_EQ(file.writes.size(), 1u);
    EXPECT_EQ(file.writes[0], picture);
}

// A disk with a given number of free bytes under a file rewritten in place,
// recording what it is asked to do.
class ScriptedDisk final : public ombrix::RewrittenFile {
  public:
    static constexpr int kFull = 28;  // the system's "no space left" of the script
    static constexpr int kHeld = 11;  // "held by another writer"
    Bytes content;
    std::size_t room = 0;
    bool canReserve = true;
    int busyTimes = 0;
    std::uint64_t allocated = 0;  // the blocks the file holds
    std::vector<std::string> calls;

  private:
    Lock lock() override {
        calls.push_back("lock");
        if (busyTimes-- <= 0) return Lock::Taken;
        fail(kHeld);
        return Lock::Busy;
    }
    std::int64_t length() override { return static_cast<std::int64_t>(content.size()); }
    // Blocks beyond `allocated` take room; a reservation takes them ahead.
    bool take(std::uint64_t end) {
        if (end <= allocated) return true;
        if (end - allocated > room) return false;
        room -= end - allocated;
        allocated = end;
        return true;
    }
    Reserve reserve(std::uint64_t size) override {
        calls.push_back("reserve " + std::to_string(size));
        if (!canReserve) return Reserve::Unsupported;
        if (take(size)) return Reserve::Done;
        fail(kFull);
        return Reserve::Failed;
    }
    bool writeAt(std::uint64_t at, const unsigned char* bytes, std::size_t size) override {
        calls.push_back("write " + std::to_string(at) + "+" + std::to_string(size));
        for (std::size_t i = 0; i < size; ++i) {
            if (!take(at + i + 1)) return fail(kFull);
            if (at + i >= content.size()) content.resize(at + i + 1);
            content[at + i] = bytes[i];
        }
        return true;
    }
    bool setLength(std::uint64_t size) override {
        calls.push_back("length " + std::to_string(size));
        content.resize(size);
        if (size < allocated) room += allocated - size;
        allocated = std::min<std::uint64_t>(allocated, size);
        return true;
    }
    bool sync() override {
        calls.push_back("sync");
        return true;
    }
};

TEST(RewrittenFileTest, TheOldPictureIsTouchedOnlyOnceTheNewOneSurelyFits) {
    using ombrix::Commit;
    const Bytes before = numbered(3000);
    struct Disk {
        std::size_t size;  // of the new picture
        std::size_t room;
        bool canReserve;
        int busy;  // commits that find another writer holding the file
    };
    struct Case {
        const char* what;
        Disk disk;
        Commit result;
        int error;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {"room for a longer picture: reserved, then written and its length set",
         {5000, 2000, true, 0},
         Commit::Done,
         0,
         {"lock", "reserve 5000", "write 0+5000", "length 5000", "sync"}},
        {"a shorter picture needs no room and cuts the old one's rest",
         {1000, 0, true, 0},
         Commit::Done,
         0,
         {"lock", "reserve 1000", "write 0+1000", "length 1000", "sync"}},
        {"a disk too full for it refuses the reservation: nothing written",
         {5000, 1999, true, 0},
         Commit::Failed,
         ScriptedDisk::kFull,
         {"lock", "reserve 5000"}},
        {"another writer holds the file: busy and untouched until it is free",
         {5000, 2000, true, 2},
         Commit::Busy,
         ScriptedDisk::kHeld,
         {"lock"}},
        {"no reservation on this disk: the new end first, then the rest",
         {5000, 2000, false, 0},
         Commit::Done,
         0,
         {"lock", "reserve 5000", "write 3000+2000", "write 0+3000", "length 5000", "sync"}},
        {"no reservation and no room for the new end: the old length is set back",
         {5000, 1999, false, 0},
         Commit::Failed,
         ScriptedDisk::kFull,
         {"lock", "reserve 5000", "write 3000+2000", "length 3000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedDisk disk;
        disk.content = before;
        disk.allocated = before.size();
        disk.room = c.disk.room;
        disk.canReserve = c.disk.canReserve;
        disk.busyTimes = c.disk.busy;
        const Bytes picture = numbered(c.disk.size + 7);
        ASSERT_TRUE(disk.write(picture.data() + 7, c.disk.size));
        const Bytes wanted(picture.begin() + 7, picture.end());
        EXPECT_EQ(disk.commit(), c.result);
        EXPECT_EQ(disk.error(), c.error);
        EXPECT_EQ(disk.calls, c.calls);
        if (c.result == Commit::Done) {
            EXPECT_EQ(disk.content, wanted);
        } else {
            EXPECT_EQ(disk.content, before);
        }
        if (c.result == Commit::Busy) {
            // Asked again once the other writer let go, it goes on.
            EXPECT_EQ(disk.commit(), Commit::Busy);
            EXPECT_EQ(disk.commit(), Commit::Done);
            EXPECT_EQ(disk.content, wanted);
        }
    }
}

}  // namespace
}  // namespace tavorin::test
