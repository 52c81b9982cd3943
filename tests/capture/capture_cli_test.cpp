// The built tavorin-capture against the virtual scanner on a pseudo-terminal
// (or a scanner the test plays): pictures that decode, the statuses of a
// scanner that misbehaves, a clean cancel, and nothing sent for a refusal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "pty_peer.h"
#include "vscanner/scanner.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One run of the tool: started, then reaped with what it printed.
class Tool {
  public:
    Tool(const std::vector<std::string>& args, const std::string& dir,
         const std::vector<std::string>& env = {}) {
        // Japanese unless a case asks otherwise, whatever the test's locale.
        std::vector<std::string> environment{"LC_ALL=C.UTF-8"};
        environment.insert(environment.end(), env.begin(), env.end());
        const tavorin::test::ChildProcess c =
            tavorin::test::startChild(CAPTURE_CLI, args, dir, environment, true);
        pid_ = c.pid;
        out_ = c.out;
        err_ = c.err;
    }
    ~Tool() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    pid_t pid() const { return pid_; }

    // The exit status (-1 if it did not end within `limit`, or died by a
    // signal), with stdout and stderr read to their end.
    int wait(std::chrono::milliseconds limit = 30s) {
        const auto end = Clock::now() + limit;
        int status = 0;
        for (;;) {
            pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            poll(p, 2, 5);
            readFrom(out_, stdout_);
            readFrom(err_, stderr_);
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) break;
            if (Clock::now() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
        }
        reaped_ = true;
        readFrom(out_, stdout_);
        readFrom(err_, stderr_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }
    QJsonObject json() const {
        return QJsonDocument::fromJson(QByteArray::fromStdString(stdout_)).object();
    }

  private:
    static void readFrom(int fd, std::string& into) {
        char buf[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) return;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return;
            into.append(buf, static_cast<std::size_t>(n));
        }
    }
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool reaped_ = false;
    std::string stdout_, stderr_;
};

class CaptureCli : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(work.isValid()); }

    void start(vscanner::Options o = {}) {
        scanner = std::make_unique<vscanner::Scanner>(std::move(o));
    }
    std::string port() const { return "COM" + std::to_string(scanner->com()); }
    std::string dir() const { return work.path().toStdString(); }
    QString path(const QString& name) const { return work.filePath(name); }
    // Everything in the working directory: no temporary may stay behind.
    QStringList files() const {
        return QDir(work.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    static QSize imageSize(const QString& file) {
        QImageReader reader(file);
        return reader.read().size();
    }

    tavorin::test::PortDirectory ports;
    QTemporaryDir work;
    std::unique_ptr<vscanner::Scanner> scanner;
};

TEST_F(CaptureCli, PacedJpegShipDecodesAtItsSizeAndTheRawCommandWorksAsWritten) {
    vscanner::Options paced;
    paced.pace = true;
    start(paced);
    Tool ship({"--port", port(), "--line", "115200,8,N,1", "--ship", "--json"}, dir());
    ASSERT_EQ(ship.wait(), 0) << ship.err();
    // Every second pixel of the 1280 x 960 sensor, the tab's first choice.
    EXPECT_EQ(imageSize(path("Tavorin_Image1.JPG")), QSize(640, 480));
    const QJsonObject j = ship.json();
    EXPECT_EQ(j["result"].toInt(-1), 0);
    EXPECT_EQ(j["command"].toString().toStdString(), "IMGSHP6F8D0V0C0A0H2P2S0W");
    EXPECT_EQ(j["file"].toString().toStdString(), "Tavorin_Image1.JPG");
    const qint64 size = QFile(path("Tavorin_Image1.JPG")).size();
    EXPECT_EQ(j["bytes"].toInteger(), size);
    // Paced: the bytes took at least their line time at 10 bits each.
    EXPECT_GE(j["seconds"].toDouble() * 11520, static_cast<double>(size));
    EXPECT_NEAR(j["bytes_per_s"].toDouble(), static_cast<double>(size) / j["seconds"].toDouble(),
                1.0);
    EXPECT_EQ(ship.out().back(), '\n');
    EXPECT_EQ(files(), QStringList{"Tavorin_Image1.JPG"});
    scanner.reset();

    start();
    Tool raw({"--port", port(), "--raw", "IMGSHP6F", "--output", "x.jpg", "--json"}, dir());
    ASSERT_EQ(raw.wait(), 0) << raw.err();
    EXPECT_EQ(imageSize(path("x.jpg")), QSize(1280, 960));
    const QJsonObject r = raw.json();
    EXPECT_EQ(r["file"].toString().toStdString(), "x.jpg");
    EXPECT_EQ(r["reply"].toString().toStdString(), "IMGSHP\x06.");
    EXPECT_EQ(r["message"].toString().toStdString(), "イメージコマンド正常終了");
    EXPECT_EQ(r["bytes"].toInteger(), QFile(path("x.jpg")).size());
}

TEST_F(CaptureCli, BoxAndTriggeredSnapWork) {
    vscanner::Options o;
    o.triggerAfterSeconds = 0.3;
    start(o);
    const auto t0 = Clock::now();
    Tool snap({"--port", port(), "--snap", "--trigger", "trigger"}, dir());
    ASSERT_EQ(snap.wait(), 0) << snap.err();
    EXPECT_GE(Clock::now() - t0, 300ms) << "the snap did not wait for the trigger";
    EXPECT_TRUE(files().isEmpty());

    Tool box({"--port", port(), "--box", "--format", "bmp", "--aspect", "3", "--height", "40",
              "--width", "80", "--x-offset", "0", "--y-offset", "10", "--output", "sig.bmp"},
             dir());
    ASSERT_EQ(box.wait(), 0) << box.err();
    EXPECT_FALSE(imageSize(path("sig.bmp")).isEmpty());

    // A reply that is no picture is printed, with its control bytes named.
    Tool menu({"--port", port(), "--raw", "BEPLVL?"}, dir());
    ASSERT_EQ(menu.wait(), 0) << menu.err();
    EXPECT_EQ(menu.out(), "BEPLVL2<ACK>.\n");
}

// Whatever goes wrong before the picture is whole, the file the caller
// named keeps what it held; a picture that came whole is reported even when
// its closing reply then failed to come.
TEST_F(CaptureCli, FaultsGiveTheirStatusesAndLeaveTheFileAsItWas) {
    struct Row {
        vscanner::Fault fault;
        int status;
        const char* english;
        bool replaced;
    };
    const Row rows[] = {
        {vscanner::Fault::NakAll, 4, "parameter error", false},
        {vscanner::Fault::EnqAll, 5, "command error", false},
        {vscanner::Fault::Garbage, 7, "communication error occurred", false},
        {vscanner::Fault::StopMidImage, 13, "receive time-out", false},
        {vscanner::Fault::HangUpMidImage, 16, "communication error", false},
        {vscanner::Fault::DropClosing, 13, "receive time-out", true},
    };
    for (const Row& row : rows) {
        vscanner::Options o;
        o.fault = row.fault;
        start(o);
        QFile old(path("x.jpg"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the picture before");
        old.close();
        Tool t({"--port", port(), "--raw", "IMGSHP6F", "--output", "x.jpg", "--json"}, dir(),
               {"LC_ALL=en_US.UTF-8"});
        EXPECT_EQ(t.wait(), row.status) << static_cast<int>(row.fault) << t.err();
        const QJsonObject j = t.json();
        EXPECT_EQ(j["result"].toInt(-1), row.status);
        EXPECT_EQ(j["message"].toString().toStdString(), row.english);
        EXPECT_EQ(files(), QStringList{"x.jpg"}) << static_cast<int>(row.fault);
        if (row.replaced) {
            EXPECT_EQ(j["file"].toString().toStdString(), "x.jpg");
            EXPECT_EQ(imageSize(path("x.jpg")), QSize(1280, 960));
        } else {
            EXPECT_TRUE(j["file"].isNull());
            QFile now(path("x.jpg"));
            ASSERT_TRUE(now.open(QIODevice::ReadOnly));
            EXPECT_EQ(now.readAll(), "the picture before") << static_cast<int>(row.fault);
        }
        scanner.reset();
    }
}

TEST_F(CaptureCli, SignalCancelsMidImageWithin100msAndThePortReopens) {
    vscanner::Options paced;
    paced.pace = true;
    start(paced);
    // About 20 s of picture at 9600 bps.
    Tool t({"--port", port(), "--line", "9600,8,N,1", "--ship"}, dir());
    std::this_thread::sleep_for(1500ms);
    const auto signalled = Clock::now();
    kill(t.pid(), SIGINT);
    const int status = t.wait(5s);
    const auto took = Clock::now() - signalled;
    EXPECT_EQ(status, 14) << t.err();
    EXPECT_LT(took, 100ms) << std::chrono::duration<double, std::milli>(took).count() << " ms";
    EXPECT_TRUE(files().isEmpty()) << files().join(", ").toStdString();

    // The scanner stopped shipping: the next command gets its own picture.
    Tool again({"--port", port(), "--line", "9600,8,N,1", "--ship", "--left", "0", "--right", "63",
                "--top", "0", "--bottom", "47", "--pixels", "1"},
               dir());
    ASSERT_EQ(again.wait(), 0) << again.err();
    EXPECT_EQ(imageSize(path("Tavorin_Image1.JPG")), QSize(64, 48));

    // SIGTERM while a snap waits for a trigger that never comes.
    Tool snap({"--port", port(), "--snap", "--trigger", "trigger"}, dir());
    std::this_thread::sleep_for(500ms);
    const auto termed = Clock::now();
    kill(snap.pid(), SIGTERM);
    EXPECT_EQ(snap.wait(5s), 14) << snap.err();
    EXPECT_LT(Clock::now() - termed, 100ms);
}

TEST_F(CaptureCli, ARefusedFieldSendsNothing) {
    tavorin::test::PtyPeer peer(ports, 241);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--port", "COM241", "--ship", "--jpeg-quality", "101"},
          {"--port", "COM241", "--ship", "--left", "9", "--right", "3"},
          {"--port", "COM241", "--box"},
          {"--port", "COM241", "--ship", "--format", "bmp", "--output", "x.jpg"}}) {
        Tool t(args, dir());
        EXPECT_EQ(t.wait(), 3) << args[3];
        EXPECT_NE(t.err().find("tavorin-capture: "), std::string::npos);
    }
    Tool usage({"--port", "COM241", "--ship", "--flip", "upside-down"}, dir());
    EXPECT_EQ(usage.wait(), 2);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(peer.wire().empty()) << "the port was opened";
}

TEST_F(CaptureCli, PortByDevicePathAndTheListOfPorts) {
    start();
    const std::string device = scanner->devicePath();
    Tool list({"--list"}, dir());
    ASSERT_EQ(list.wait(), 0);
    const std::string row = port() + "\t" + ports.aliasPath(scanner->com()) + "\t";
    EXPECT_NE(list.out().find(row), std::string::npos) << list.out();
    Tool json({"--list", "--json"}, dir());
    ASSERT_EQ(json.wait(), 0);
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json.out()));
    ASSERT_TRUE(doc.isArray()) << json.out();
    bool listed = false;
    for (const auto& v : doc.array()) listed |= v.toObject()["com"].toInt() == scanner->com();
    EXPECT_TRUE(listed);

    // Without an alias of its own the device gets one for the run only.
    std::filesystem::remove(ports.aliasPath(scanner->com()));
    Tool byPath({"--port", device, "--raw", "IMGSHP6F", "--output", "p.jpg"}, dir());
    ASSERT_EQ(byPath.wait(), 0) << byPath.err();
    EXPECT_EQ(imageSize(path("p.jpg")), QSize(1280, 960));
    EXPECT_TRUE(std::filesystem::is_empty(ports.runtimeDir() + "/ombrix"));

    Tool missing({"--port", dir() + "/no-such-tty", "--raw", "IMGSHP6F"}, dir());
    EXPECT_EQ(missing.wait(), 11);
}

// A port directory others may write to is ignored, and the list says so
// once; the scanner's alias in it is neither listed nor opened, and a
// second scanner will not register there.
TEST_F(CaptureCli, APortDirectoryOthersMayWriteIsIgnoredAndTheListSaysWhy) {
    start();
    const std::string folder = ports.runtimeDir() + "/ombrix";
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    for (const char* lang : {"LC_ALL=C.UTF-8", "LC_ALL=en_US.UTF-8"}) {
        Tool list({"--list"}, dir(), {lang});
        ASSERT_EQ(list.wait(), 0) << list.err();
        EXPECT_EQ(list.out().find(port() + "\t"), std::string::npos) << list.out();
        const std::string why =
            lang[7] == 'e'
                ? "The port directory " + folder + " is ignored: others may write to it"
                : "ポートフォルダ " + folder + " は他のユーザーも書き込めるため使用しません";
        EXPECT_NE(list.err().find(why), std::string::npos) << list.err();
    }
    Tool open({"--port", port(), "--raw", "BEPLVL?"}, dir());
    EXPECT_EQ(open.wait(), 11) << open.err();
    // Nor is an alias made there for a device named by its path.
    Tool byPath({"--port", scanner->devicePath(), "--raw", "BEPLVL?"}, dir());
    EXPECT_EQ(byPath.wait(), 11);
    EXPECT_NE(byPath.err().find("ポートフォルダ " + folder), std::string::npos) << byPath.err();
    EXPECT_THROW(vscanner::Scanner{vscanner::Options{}}, std::runtime_error);
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    Tool again({"--port", port(), "--raw", "BEPLVL?"}, dir());
    EXPECT_EQ(again.wait(), 0) << again.err();
}

}  // namespace
