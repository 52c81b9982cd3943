// The built tavorin-capture against the virtual scanner on a pseudo-terminal
// (or a scanner the test plays): pictures that decode, the statuses of a
// scanner that misbehaves, a clean cancel, and nothing sent for a refusal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
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
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fake_rfc2217.h"
#include "pty_peer.h"
#include "ser2net_server.h"
#include "vscanner/scanner.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One run of the tool: started, then reaped with what it printed.
class Tool {
  public:
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    Tool(const std::vector<std::string>& args, const std::string& dir,
         const std::vector<std::string>& env = {}, const std::string& exe = CAPTURE_CLI,
         int user = -1) {
        // Japanese unless a case asks otherwise, whatever the test's locale.
        std::vector<std::string> environment{"LC_ALL=C.UTF-8"};
        environment.insert(environment.end(), env.begin(), env.end());
        const tavorin::test::ChildProcess c =
            tavorin::test::startChild(exe, args, dir, environment, true, user);
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
    // True once the child runs the tool's own program (its exec is done).
    bool waitForExec(const std::string& exe, std::chrono::milliseconds limit = 5s) const {
        const std::string link = "/proc/" + std::to_string(pid_) + "/exe";
        for (const auto end = Clock::now() + limit; Clock::now() < end;) {
            std::error_code ec;
            if (std::filesystem::read_symlink(link, ec) == std::filesystem::path(exe)) return true;
            std::this_thread::sleep_for(200us);
        }
        return false;
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

QByteArray contents(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
QByteArray contents(const std::string& file) {
    return contents(QString::fromStdString(file));
}
bool put(const QString& file, const QByteArray& bytes) {
    QFile f(file);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A small file system of the test's own, which a fill file can make full.
// A test that cannot mount it fails: tests run as root, as in CI.
struct SmallDisk {
    explicit SmallDisk(const std::string& at) : path(at) {
        std::filesystem::create_directory(path);
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0;
        if (!mounted) why = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
    // Takes every free block.
    void fill() const {
        QFile f(QString::fromStdString(path + "/fill"));
        if (f.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            while (f.write(QByteArray(4096, 0)) > 0) {
            }
        }
    }
    std::string path;
    bool mounted = false;
    std::string why;
};

// What must stay of a file rewritten in place: the file itself (all its
// names), its mode and its owner.
auto identity(const std::string& file) {
    struct stat st {};
    stat(file.c_str(), &st);
    return std::tuple(st.st_ino, st.st_mode, st.st_uid, st.st_nlink);
}

constexpr int kNobody = 65534;

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

    // Lets an ordinary user run the tool against the scanner: the work
    // folder reachable, the scanner's terminal open to all, and a port
    // directory of that user's own (the tool makes the device an alias
    // there). The environment that points the tool to it.
    std::string asOrdinaryUser() {
        EXPECT_EQ(chmod(dir().c_str(), 0711), 0);
        EXPECT_EQ(chmod(scanner->devicePath().c_str(), 0666), 0);
        const std::string runtime = dir() + "/runtime-" + std::to_string(kNobody);
        for (const std::string& d : {runtime, runtime + "/ombrix"}) {
            EXPECT_EQ(mkdir(d.c_str(), 0700), 0);
            EXPECT_EQ(chown(d.c_str(), kNobody, kNobody), 0);
        }
        return "XDG_RUNTIME_DIR=" + runtime;
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
    EXPECT_EQ(r["message"].toString().toStdString(), "コマンド正常終了") << "any command";
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
        {vscanner::Fault::DropClosing, 13,
         "receive time-out\nthe picture was stored whole in x.jpg, but the scanner's closing "
         "reply did not come",
         true},
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

// A value the tool refuses, typed or remembered in a settings file, is
// refused before the port is opened, with the status and the words that
// name where it came from.
TEST_F(CaptureCli, ARefusedValueSendsNothing) {
    tavorin::test::PtyPeer peer(ports, 241);
    auto settings = [&](const char* name, const std::string& lines) {
        EXPECT_TRUE(put(path(name), QByteArray::fromStdString(lines)));
        return std::string(name);
    };
    const std::string record = "SCANNER1=241,9,1,0,0,0,0,0,100\r\n";
    using namespace std::string_literals;
    const std::string nulName = settings("nul-name.ini", record + "IMGSHPFL=notes.txt\0.jpg\r\n"s);
    const std::string nulFirst = settings("nul-first.ini", record + "IMGSHPFL=\0x.jpg\r\n"s);
    const std::string field =
        settings("field.ini", record + "IMGSHP=6,0,0,0,0,0,0,0,0,1,0,\x01\r\n");
    const std::string port = settings("port.ini", "SCANNER1=241\x7f,9,1,0,0,0,0,0,100\r\n");
    ASSERT_TRUE(put(path("notes.txt"), "my notes"));
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const Row rows[] = {
        {{"--port", "COM241", "--ship", "--jpeg-quality", "101"}, 3, "--jpeg-quality: "},
        {{"--port", "COM241", "--ship", "--left", "9", "--right", "3"}, 3, "--right"},
        {{"--port", "COM241", "--box"}, 3, "--aspect"},
        {{"--port", "COM241", "--ship", "--format", "bmp", "--output", "x.jpg"}, 3, "--output"},
        // Bytes that are no text of the locale are not made a file's name
        // in some other form, and no file has an empty name.
        {{"--port", "COM241", "--ship", "--flip", "upside-down"}, 2, "--flip"},
        {{"--port", "COM241", "--raw", "IMGSHP6F", "--output", "\xff\xfe.JPG"}, 2, "--output"},
        {{"--port", "COM241", "--ship", "--output", ""}, 2, "--output が空です"},
        {{"--port", "COM241", "--ship", "--output="}, 2, "--output が空です"},
        // A remembered text with a control character, a NUL above all,
        // which would cut the file's name short.
        {{"--settings", nulName, "--ship"},
         3,
         nulName + " の IMGSHPFL= (--output): 制御文字 U+0000 が含まれています"},
        {{"--settings", nulFirst, "--ship"}, 3, "IMGSHPFL= (--output): 制御文字 U+0000"},
        {{"--settings", field, "--ship"}, 3, "IMGSHP= (--jpeg-quality): 制御文字 U+0001"},
        {{"--settings", port, "--ship"}, 3, port + " の SCANNER1= (--port): 制御文字 U+007F"},
    };
    for (const Row& row : rows) {
        Tool t(row.args, dir());
        EXPECT_EQ(t.wait(), row.status) << row.says << ": " << t.err();
        EXPECT_NE(t.err().find("tavorin-capture: "), std::string::npos);
        EXPECT_NE(t.err().find(row.says), std::string::npos) << t.err();
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(peer.wire().empty()) << "the port was opened";
    EXPECT_EQ(files().size(), 5) << files().join(", ").toStdString();
    EXPECT_EQ(contents(path("notes.txt")), "my notes");
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
// once; the scanner's alias in it is not listed, and a second scanner will
// not register there.
TEST_F(CaptureCli, APortDirectoryOthersMayWriteIsIgnoredAndTheListSaysWhy) {
    start();
    const std::string folder = ports.runtimeDir() + "/ombrix";
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    Tool list({"--list"}, dir(), {"LC_ALL=en_US.UTF-8"});
    ASSERT_EQ(list.wait(), 0) << list.err();
    EXPECT_EQ(list.out().find(port() + "\t"), std::string::npos) << list.out();
    EXPECT_NE(
        list.err().find("The port directory " + folder + " is ignored: others may write to it"),
        std::string::npos)
        << list.err();
    EXPECT_THROW(vscanner::Scanner{vscanner::Options{}}, std::runtime_error);
    // Nor is an alias made for a device named by its path, there or in a
    // port directory whose name is too long to be looked at: the device is
    // there all the same, and the directory is what stands in the way.
    const std::string tooLong = dir() + "/" + std::string(300, 'x');
    const std::pair<std::string, std::string> directories[] = {
        {"LC_ALL=C.UTF-8", folder + " は他のユーザーも書き込める"},
        {"XDG_RUNTIME_DIR=" + tooLong, tooLong + "/ombrix は調べられない"},
    };
    for (const auto& [env, why] : directories) {
        Tool byPath({"--port", scanner->devicePath(), "--raw", "BEPLVL?"}, dir(), {env});
        EXPECT_EQ(byPath.wait(), 11);
        EXPECT_NE(byPath.err().find("ポートオープンエラー: " + scanner->devicePath() +
                                    "\nポートフォルダ " + why),
                  std::string::npos)
            << byPath.err();
    }
}

// Every failure says what failed, in the user's language: the port and
// why it did not open, the file and the system's reason, a reply too long.
TEST_F(CaptureCli, FailuresSayWhatFailedInTheUsersLanguage) {
    start();
    ASSERT_TRUE(QDir(work.path()).mkdir("folder"));
    ASSERT_EQ(mkfifo(path("fifo").toLocal8Bit().constData(), 0600), 0);
    ports.alias(250, dir() + "/gone");
    ASSERT_EQ(symlink("/dev/full", path("full.jpg").toLocal8Bit().constData()), 0);
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;
        bool held = false;  // another program holds the scanner's port
        // Run first by a shell that then starts the tool.
        std::string prelude = {};
    };
    const Row rows[] = {
        {{"--port", "COM250", "--raw", "BEPLVL?"},
         11,
         "port open error\nthe port's device is not there: COM250 (" + ports.aliasPath(250) + ")"},
        {{"--port", port(), "--raw", "BEPLVL?"}, 11, "another program uses the port", true},
        {{"--port", dir() + "/folder", "--raw", "BEPLVL?"},
         11,
         "the port's name leads to no serial device: " + dir() + "/folder"},
        {{"--port", dir() + "/fifo", "--raw", "BEPLVL?"},
         11,
         "the port's name leads to no serial device: " + dir() + "/fifo"},
        {{"--port", "rfc2217://127.0.0.1", "--raw", "BEPLVL?"},
         15,
         "the network port's name is malformed (no port number after the host): "
         "rfc2217://127.0.0.1"},
        {{"--port", port(), "--raw", std::string(2100, 'A')},
         17,
         "the scanner's reply is longer than 2046 bytes"},
        {{"--port", port(), "--raw", "IMGSHP6F", "--output", dir() + "/none/x.jpg"},
         12,
         "file error: " + dir() + "/none/x.jpg: No such file or directory"},
        {{"--port", port(), "--raw", "IMGSHP6F", "--output", dir() + "/folder"},
         12,
         "file error: " + dir() + "/folder: Is a directory"},
        // Failures that come only once the picture is being written.
        {{"--port", port(), "--raw", "IMGSHP6F", "--output", "full.jpg"},
         12,
         "file error: full.jpg: No space left on device"},
        {{"--port", port(), "--raw", "IMGSHP6F", "--output", "x.jpg"},
         12,
         "file error: x.jpg: No such file or directory",
         false,
         "mkdir gone && cd gone && rmdir ../gone"},
    };
    for (const Row& row : rows) {
        int lock = -1;
        if (row.held) {
            lock = open(scanner->devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
        }
        std::vector<std::string> args = row.args;
        args.push_back("--json");
        if (!row.prelude.empty()) {
            args.insert(args.begin(), {"-c", row.prelude + " && exec \"$0\" \"$@\"", CAPTURE_CLI});
        }
        Tool t(args, dir(), {"LC_ALL=en_US.UTF-8"},
               row.prelude.empty() ? std::string(CAPTURE_CLI) : "/bin/sh");
        EXPECT_EQ(t.wait(), row.status) << row.says << ": " << t.err();
        if (lock >= 0) close(lock);
        EXPECT_NE(t.err().find(row.says), std::string::npos) << row.says << "\n" << t.err();
        EXPECT_NE(t.json()["message"].toString().toStdString().find(row.says), std::string::npos)
            << t.out();
    }
    // A greeting and a command for each of the five rows that reach it.
    EXPECT_EQ(scanner->commandsServed(), 10u);
    scanner.reset();

    // A library that lacks the exports, where the tool looks first.
    const QString bin = path("bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(QFile::copy(CAPTURE_CLI, bin + "/tavorin-capture"));
    ASSERT_TRUE(QFile::copy(SLOW_START_LIBRARY, bin + "/libOmbrix.so"));
    Tool none({"--port", "COM5", "--raw", "BEPLVL?", "--json"}, dir(), {"LC_ALL=en_US.UTF-8"},
              (bin + "/tavorin-capture").toStdString());
    EXPECT_EQ(none.wait(), 8) << none.err();
    EXPECT_NE(none.err().find("lacks these functions"), std::string::npos) << none.err();
    EXPECT_NE(none.json()["message"].toString().toStdString().find("No scanner can be reached"),
              std::string::npos);
}

// The status follows the reply's ACK, NAK or ENQ, whichever byte ends it.
TEST_F(CaptureCli, RepliesCountByTheirAckNakOrEnqWhateverEndsThem) {
    tavorin::test::PtyPeer peer(ports, 242);
    const tavorin::test::Bytes picture = tavorin::test::bytes("not really a JPEG");
    peer.setResponder([&](const std::string& text, char end) {
        using tavorin::test::bytes;
        if (text == "BEPBEP?") return tavorin::test::PtyPeer::standardGreeting();
        const std::string closing(1, end);
        if (text == "IMGSHP") {
            return tavorin::test::PtyPeer::imageReply("x", picture, "IMGSHP\x06" + closing);
        }
        if (text == "BEPLVL?") return bytes("BEPLVL2\x06" + closing);
        if (text == "BEPLVL9") return bytes("BEPLVL9\x15" + closing);
        return bytes(text + "\x05" + closing);
    });
    struct Row {
        const char* command;
        int status;
    };
    const Row rows[] = {
        {"BEPLVL?!", 0},
        {"BEPLVL9!", 4},
        {"XYZ!", 5},
        {"IMGSHP!", 0},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args{"--port", "COM242", "--raw", row.command};
        if (std::string(row.command).rfind("IMG", 0) == 0) {
            args.insert(args.end(), {"--output", "x.jpg"});
        }
        Tool t(args, dir());
        EXPECT_EQ(t.wait(), row.status) << row.command << ": " << t.err();
    }
    QFile file(path("x.jpg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(), std::string(picture.begin(), picture.end()));
}

// A standard output that takes nothing makes the run a failure, whatever
// was to be printed.
TEST_F(CaptureCli, OutputThatCannotBeWrittenIsAFailure) {
    start();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"},
          {"--list", "--json"},
          {"--port", port(), "--raw", "BEPLVL?"},
          {"--port", port(), "--ship", "--left", "x", "--json"}}) {
        std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" >/dev/full", CAPTURE_CLI};
        shell.insert(shell.end(), args.begin(), args.end());
        Tool t(shell, dir(), {"LC_ALL=en_US.UTF-8"}, "/bin/sh");
        EXPECT_EQ(t.wait(), 9) << args.back() << ": " << t.err();
        EXPECT_NE(t.err().find("tavorin-capture: cannot write standard output: No space left "
                               "on device"),
                  std::string::npos)
            << t.err();
    }
}

// Two signals close together mid-picture: the process ends at once with
// the cancel's status, and the alias made for the device's path is gone.
TEST_F(CaptureCli, ASecondSignalEndsAtOnceAndLeavesNothingBehind) {
    vscanner::Options paced;
    paced.pace = true;
    start(paced);
    std::filesystem::remove(ports.aliasPath(scanner->com()));
    Tool t({"--port", scanner->devicePath(), "--line", "9600,8,N,1", "--ship"}, dir());
    std::this_thread::sleep_for(1500ms);
    ASSERT_FALSE(std::filesystem::is_empty(ports.runtimeDir() + "/ombrix")) << "no alias made";
    kill(t.pid(), SIGINT);
    std::this_thread::sleep_for(5ms);
    kill(t.pid(), SIGINT);
    EXPECT_EQ(t.wait(2s), 14) << t.err();
    EXPECT_TRUE(std::filesystem::is_empty(ports.runtimeDir() + "/ombrix"));
    EXPECT_TRUE(files().isEmpty()) << files().join(", ").toStdString();
    scanner.reset();

    // The second signal as the greeting ends, after the first cancelled
    // it: still the cancel, never death by the signal.
    vscanner::Options mute;
    mute.fault = vscanner::Fault::NoGreeting;
    start(mute);
    // The greeting's wait notices the first within about 10 ms; the gaps
    // cover that time, and the end of the process after it.
    for (int round = 0; round < 26; ++round) {
        const auto gap = std::chrono::milliseconds(round / 2);
        Tool greeting({"--port", port(), "--raw", "BEPLVL?"}, dir());
        std::this_thread::sleep_for(150ms);
        kill(greeting.pid(), SIGINT);
        std::this_thread::sleep_for(gap);
        kill(greeting.pid(), SIGINT);
        EXPECT_EQ(greeting.wait(5s), 14) << gap.count() << " ms: " << greeting.err();
        EXPECT_NE(greeting.err().find("キャンセル"), std::string::npos) << greeting.err();
    }
}

// A signal while the tool is still starting (its libraries initialise
// before main) cancels the run instead of killing the process.
TEST_F(CaptureCli, ASignalWhileTheToolStartsCancelsIt) {
    start();
    const std::uint64_t served = scanner->commandsServed();
    const char* asan = std::getenv("ASAN_OPTIONS");
    Tool t({"--port", port(), "--raw", "BEPLVL?"}, dir(),
           {std::string("LD_PRELOAD=") + SLOW_START_LIBRARY, "TAVORIN_TEST_START_DELAY_MS=1500",
            // The preloaded library comes before the sanitizer's runtime.
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    ASSERT_TRUE(t.waitForExec(CAPTURE_CLI));
    std::this_thread::sleep_for(500ms);
    kill(t.pid(), SIGINT);
    EXPECT_EQ(t.wait(10s), 14) << t.err();
    EXPECT_EQ(scanner->commandsServed(), served) << "the port was opened";
}

// A scanner behind ser2net, named by its network port: the picture comes
// as from a serial port, the far line runs at the speed asked for (the
// strict scanner is silent at any other), and the run leaves no alias.
TEST_F(CaptureCli, ANetworkPortTakenByItsName) {
    vscanner::Options o;
    o.strictLine = vscanner::LineSettings{115200, 8, 'N', 1};
    start(o);
    tavorin::test::Ser2net rfc(scanner->devicePath(), tavorin::test::Ser2net::Kind::Rfc2217);
    Tool ship({"--port", rfc.url(), "--line", "115200,8,N,1", "--ship", "--format", "jpeg",
               "--output", "n.jpg"},
              dir());
    ASSERT_EQ(ship.wait(), 0) << ship.err();
    EXPECT_EQ(imageSize(path("n.jpg")), QSize(640, 480));
    const auto entries = std::filesystem::directory_iterator(ports.runtimeDir() + "/ombrix");
    EXPECT_EQ(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)), 1)
        << "only the scanner's own alias";
}

// What a network port's server does wrong reaches the user as what it is,
// with its own status and the facts: a busy port (ser2net already serving
// another connection) in the server's words, a line set otherwise than
// asked or not confirmed, a telnet server named as a raw port, a ship
// command answered without a picture, a picture broken off after some of
// its bytes. No run leaves or names a file, and the bytes that came are
// counted.
TEST_F(CaptureCli, ANetworkServersFaultsAreToldAsTheyAre) {
    using namespace tavorin::test;
    vscanner::Options o;
    o.strictLine = vscanner::LineSettings{115200, 8, 'N', 1};
    start(o);
    Ser2net busy(scanner->devicePath(), Ser2net::Kind::Rfc2217, "115200n81");
    const int holder = connectedTo(busy.port());
    ASSERT_GE(holder, 0);

    Bytes picture(30000, 0xFF);
    for (std::size_t i = 0; i < picture.size(); i += 2) picture[i] = static_cast<unsigned char>(i);
    const Bytes image = PtyPeer::imageReply("IMGSHP", picture, "IMGSHP\x06.");
    constexpr std::size_t kArrived = 11000;
    auto answering = [](std::function<Bytes(const std::string&)> answer) {
        Script s;
        s.respond = [answer](const std::string& text) {
            return std::vector<Bytes>{escaped(answer(text))};
        };
        return s;
    };
    Script otherSpeed, silentLine, telnetAsRaw;
    otherSpeed.answerWith[1] = {0, 0, 0x25, 0x80};
    silentLine.unanswered = {1, 2, 3, 4, 5};
    telnetAsRaw.telnet = false;
    telnetAsRaw.opening = Bytes{telnet::IAC, telnet::DO, 0, telnet::IAC, telnet::WILL, 3};
    Script brokenOff = answering(
        [&](const std::string&) { return Bytes(image.begin(), image.begin() + 7 + 7 + kArrived); });
    brokenOff.closeAfterResponse = true;
    TestServer speed(otherSpeed), silent(silentLine), raw(telnetAsRaw),
        ack(answering([](const std::string&) { return bytes("IMGSHP\x06."); })), broken(brokenOff);

    const struct {
        std::string url;
        int status;
        std::string says;
        qint64 bytes;
    } rows[] = {
        {busy.url(), 18,
         "port open error\nthe server serves another connection on this port (the server said: "
         "Port already in use): " +
             busy.url(),
         0},
        {speed.url(), 16, "communication error\nthe server set 9600 bps, not 115200 bps", 0},
        {silent.url(), 16, "the server did not confirm 115200 bps within 1 second", 0},
        {raw.url(), 11, "the server speaks telnet (add the port as rfc2217://)", 0},
        {ack.url(), 20, "the scanner answered without a picture: IMGSHP<ACK>.", 0},
        {broken.url(), 16, "communication error", static_cast<qint64>(kArrived)},
    };
    for (const auto& row : rows) {
        QFile old(path("x.jpg"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the picture before");
        old.close();
        Tool t(
            {"--port", row.url, "--line", "115200,8,N,1", "--ship", "--output", "x.jpg", "--json"},
            dir(), {"LC_ALL=en_US.UTF-8"});
        EXPECT_EQ(t.wait(), row.status) << row.url << ": " << t.err();
        const QJsonObject j = t.json();
        EXPECT_NE(j["message"].toString().toStdString().find(row.says), std::string::npos)
            << row.says << "\n"
            << t.err();
        EXPECT_TRUE(j["file"].isNull()) << row.url;
        EXPECT_EQ(j["bytes"].toInteger(-1), row.bytes) << row.url;
        EXPECT_EQ(files(), QStringList{"x.jpg"}) << row.url;
        QFile now(path("x.jpg"));
        ASSERT_TRUE(now.open(QIODevice::ReadOnly));
        EXPECT_EQ(now.readAll(), "the picture before") << row.url;
    }
    close(holder);
}

// A picture whose file must keep its identity is rewritten in place only
// once it surely fits: on a disk too full for it the old picture stays, byte
// for byte under every name, and the failure says why; with room the new
// picture comes under every name, and the file keeps its mode and owner. A
// new file on a full disk fails as clearly, with no temporary left.
TEST_F(CaptureCli, AFullDiskLeavesTheOldPictureAndTheRewriteKeepsTheFile) {
    start();
    SmallDisk disk(dir() + "/disk");
    ASSERT_TRUE(disk.mounted) << "cannot mount a tmpfs: " << disk.why;
    const std::string user = asOrdinaryUser();
    struct Row {
        const char* what;
        std::string folder;
        mode_t mode;  // the folder's, once the picture and its link are in it
        bool linked;
        bool exists;
        int user;  // -1: the test's own (root)
    };
    const Row rows[] = {
        {"a file with a second name", disk.path + "/links", 0755, true, true, -1},
        {"a file in a folder that takes no new file", disk.path + "/locked", 0555, false, true,
         kNobody},
        {"another user's file in a sticky folder", disk.path + "/shared", 01777, false, true,
         kNobody},
        {"a new file", disk.path + "/new", 0777, false, false, kNobody},
    };
    const QByteArray before = "the picture before";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(mkdir(row.folder.c_str(), 0755), 0);
        const std::string target = row.folder + "/x.jpg";
        const std::string second = row.folder + "/l.jpg";
        ASSERT_TRUE(!row.exists || (put(QString::fromStdString(target), before) &&
                                    chmod(target.c_str(), 0666) == 0));
        ASSERT_TRUE(!row.linked || link(target.c_str(), second.c_str()) == 0);
        ASSERT_EQ(chmod(row.folder.c_str(), row.mode), 0);
        const auto was = identity(target);
        const std::vector<std::string> args{"--port", scanner->devicePath(), "--ship", "--output",
                                            target};

        // The test's own port directory for itself, the user's for the user.
        const std::string env = row.user < 0 ? "XDG_RUNTIME_DIR=" + ports.runtimeDir() : user;
        disk.fill();
        Tool full(args, dir(), {"LC_ALL=en_US.UTF-8", env}, CAPTURE_CLI, row.user);
        EXPECT_EQ(full.wait(), 12) << full.err();
        EXPECT_NE(
            full.err().find("tavorin-capture: file error: " + target + ": No space left on device"),
            std::string::npos)
            << full.err();
        EXPECT_EQ(contents(target), row.exists ? before : QByteArray());
        EXPECT_EQ(contents(second), row.linked ? before : QByteArray());
        EXPECT_EQ(identity(target), was);
        std::filesystem::remove(disk.path + "/fill");

        Tool room(args, dir(), {env}, CAPTURE_CLI, row.user);
        ASSERT_EQ(room.wait(), 0) << room.err();
        EXPECT_EQ(imageSize(QString::fromStdString(target)), QSize(640, 480));
        EXPECT_TRUE(!row.exists || identity(target) == was) << "not rewritten in place";
        EXPECT_EQ(contents(second), row.linked ? contents(target) : QByteArray());
        EXPECT_EQ(QDir(QString::fromStdString(row.folder)).entryList(QDir::Files | QDir::Hidden),
                  (row.linked ? QStringList{"l.jpg", "x.jpg"} : QStringList{"x.jpg"}));
    }
}

// Writers of one file with two names, at once: each succeeds, and the file
// then holds one of their pictures whole, under both names. Their pictures
// differ a little in size, so that they arrive at nearly the same time and
// their rewrites meet. A bounded stress loop, with no claim on timing.
TEST_F(CaptureCli, WritersOfOneLinkedFileNeverMixTheirPictures) {
    constexpr int kWriters = 6;
    std::vector<std::unique_ptr<vscanner::Scanner>> scanners;
    std::vector<std::vector<std::string>> commands;
    std::vector<QByteArray> pictures;
    for (int i = 0; i < kWriters; ++i) {
        scanners.push_back(std::make_unique<vscanner::Scanner>(vscanner::Options{}));
        commands.push_back({"--port", "COM" + std::to_string(scanners.back()->com()), "--ship",
                            "--format", "bmp", "--right", std::to_string(639 - 8 * i)});
        // Each writer's picture on its own first, to know it when it comes.
        std::vector<std::string> alone = commands.back();
        alone.insert(alone.end(), {"--output", "alone.bmp"});
        Tool t(alone, dir());
        ASSERT_EQ(t.wait(), 0) << t.err();
        pictures.push_back(contents(path("alone.bmp")));
    }
    QFile::remove(path("alone.bmp"));
    ASSERT_TRUE(put(path("x.bmp"), {}));
    ASSERT_EQ(link((dir() + "/x.bmp").c_str(), (dir() + "/l.bmp").c_str()), 0);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::unique_ptr<Tool>> tools;
        for (const auto& command : commands) {
            std::vector<std::string> args = command;
            args.insert(args.end(), {"--output", "x.bmp"});
            tools.push_back(std::make_unique<Tool>(args, dir()));
        }
        for (auto& t : tools) EXPECT_EQ(t->wait(), 0) << round << ": " << t->err();
        const QByteArray now = contents(path("x.bmp"));
        EXPECT_NE(std::find(pictures.begin(), pictures.end(), now), pictures.end())
            << "round " << round << ": " << now.size() << " bytes, no writer's picture";
        EXPECT_EQ(contents(path("l.bmp")), now);
    }
    EXPECT_EQ(files(), (QStringList{"l.bmp", "x.bmp"}));
}

// Every signal that would end the tool ends the run cleanly, with the
// cancel's status, whether it comes mid-picture through a device path's
// alias, while a snap waits, or while the picture waits for a FIFO's
// reader; one that a failed write raises is ignored. Nothing is left
// behind: no temporary beside the picture, no alias.
TEST_F(CaptureCli, EverySignalThatWouldEndTheToolCancelsCleanly) {
    enum class While { Shipping, Snapping, WaitingForReader };
    struct Row {
        const char* what;
        std::vector<int> sent;
        While during;
        int status;
    };
    const Row rows[] = {
        {"a closed session's SIGHUP", {SIGHUP}, While::Shipping, 14},
        {"a stray SIGUSR1", {SIGUSR1}, While::Shipping, 14},
        {"SIGQUIT", {SIGQUIT}, While::Shipping, 14},
        {"SIGUSR2, then SIGTERM", {SIGUSR2, SIGTERM}, While::Snapping, 14},
        {"SIGALRM", {SIGALRM}, While::Snapping, 14},
        {"SIGPIPE, ignored: the trigger's picture comes", {SIGPIPE}, While::Snapping, 0},
        {"SIGTERM with the picture stuck in a FIFO", {SIGTERM}, While::WaitingForReader, 14},
    };
    const std::string folder = ports.runtimeDir() + "/ombrix";
    const QString fifo = path("viewer.bmp");
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        vscanner::Options o;
        o.pace = row.during == While::Shipping;
        o.triggerAfterSeconds = 1.5;
        start(o);
        std::filesystem::remove(scanner->aliasPath());
        std::vector<std::string> args{"--port", scanner->devicePath()};
        int reader = -1;
        if (row.during == While::Shipping) {
            args.insert(args.end(), {"--line", "9600,8,N,1", "--ship", "--output", "x.jpg"});
        } else if (row.during == While::Snapping) {
            args.insert(args.end(), {"--snap", "--trigger", "trigger"});
        } else {
            // A reader that never reads: the picture fills the pipe.
            reader = open(fifo.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            args.insert(args.end(), {"--ship", "--format", "bmp", "--output", "viewer.bmp"});
        }
        Tool t(args, dir());
        // Until the run is where the row says.
        auto reached = [&] {
            if (row.during == While::Shipping) {
                return files().filter(QStringLiteral(".ombrix-")).size() == 1;
            }
            int queued = 0;
            if (reader >= 0) return ioctl(reader, FIONREAD, &queued) == 0 && queued > 0;
            return !std::filesystem::is_empty(folder);
        };
        for (const auto end = Clock::now() + 10s; !reached() && Clock::now() < end;) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(reached()) << t.err();
        if (row.during == While::Snapping) std::this_thread::sleep_for(300ms);
        for (int sig : row.sent) {
            kill(t.pid(), sig);
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(t.wait(5s), row.status) << t.err();
        if (reader >= 0) close(reader);
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << "an alias was left";
        EXPECT_TRUE(files().filter(QStringLiteral(".ombrix-")).isEmpty())
            << files().join(", ").toStdString();
        scanner.reset();
    }
}

}  // namespace
