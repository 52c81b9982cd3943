// What a stream without a pause costs the terminal: 10 MB from a scanner
// this program plays, as unsolicited data into a terminal whose session log
// runs, once as fast as a pseudo-terminal carries it (in the text view and
// in the hex view) and once paced as a 115200 bps 8N1 line carries it (in
// the hex view, the costlier one). Each run goes in a process of its own,
// so that its memory figure is its own. Prints for each run
//   - the bytes the data box showed, in order, against the bytes sent, and
//     the same for the log,
//   - the growth of the process's peak resident memory,
//   - the program's CPU (its GUI thread) against the line's time, and for
//     the unpaced runs the time the 10 MB took,
//   - the longest the event loop went without an iteration, less the time
//     the whole machine stood still within it (printed beside it as
//     measured), and the most CPU the program spent in such a stretch,
// each beside its target.
//
//   terminal_stream_bench [--megabytes N]   N MB a run instead of 10
#include <sys/resource.h>

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <thread>

#include "figures.h"
#include "frm_terminal.h"
#include "program_bench.h"

using namespace tavorin;
using bench::Clock;

namespace {

constexpr int kCom = 252;
// Bytes a second on a 115200 bps line of ten bits a byte (8N1).
constexpr double kLineRate = 115200.0 / 10;
// The paced sender's step: far below the slot's data time-out, so that
// the line never falls quiet.
constexpr std::size_t kPacedChunk = 64;

struct RunKind {
    const char* name;
    bool paced;
    bool hex;
    double rssTargetMb;
};
constexpr RunKind kRuns[] = {
    {"unpaced, text view", false, false, 60},
    {"unpaced, hex view", false, true, 100},
    {"115200 8N1, hex view", true, true, 100},
};

// The stream: ten-digit record numbers, one after another. Every byte is
// printable, so the spelled rows hold the bytes themselves, and a byte out
// of place shows.
QByteArray stream(qsizetype size) {
    QByteArray out;
    out.reserve(size + 16);
    for (qint64 k = 0; out.size() < size; ++k) out += QByteArray::number(k).rightJustified(10, '0');
    out.truncate(size);
    return out;
}

// The bytes a row of the data box or of the log stands for, the mark of a
// row that goes on left out.
QByteArray rowBytes(QString row, bool hex) {
    if (row.startsWith(terminal::kGoesOn)) row.remove(0, terminal::kGoesOn.size());
    if (!hex) return row.toLatin1();
    return QByteArray::fromHex(row.remove(u' ').toLatin1());
}

// Counts the bytes the data box shows as its rows are appended, as long as
// they are the stream's next bytes.
class ShownCounter {
  public:
    ShownCounter(QPlainTextEdit* box, const QByteArray& sent, bool hex)
        : doc_(box->document()), sent_(sent), hex_(hex) {
        QObject::connect(doc_, &QTextDocument::contentsChange,
                         [this](int at, int, int added) { take(at, added); });
    }
    qsizetype inOrder() const { return matched_; }
    bool wrong() const { return wrong_; }

  private:
    void take(int at, int added) {
        if (added <= 0 || wrong_) return;
        QTextCursor c(doc_);
        c.setPosition(at);
        c.setPosition(at + added, QTextCursor::KeepAnchor);
        const QStringList rows = c.selectedText().split(QChar::ParagraphSeparator);
        // Every row arrives whole, ended by its line end.
        for (qsizetype i = 0; i + 1 < rows.size(); ++i) {
            const QByteArray bytes = rowBytes(rows[i], hex_);
            if (sent_.mid(matched_, bytes.size()) != bytes) {
                wrong_ = true;
                return;
            }
            matched_ += bytes.size();
        }
    }

    QTextDocument* doc_;
    const QByteArray& sent_;
    bool hex_;
    qsizetype matched_ = 0;
    bool wrong_ = false;
};

// The bytes the log's rows hold in order, as far as they match the stream.
qsizetype loggedInOrder(const QString& path, const QByteArray& sent) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return 0;
    qsizetype matched = 0;
    while (!f.atEnd()) {
        const QList<QByteArray> fields = f.readLine().chopped(1).split('\t');
        if (fields.size() < 4 || fields[2] != "<") continue;
        const QByteArray bytes = rowBytes(QString::fromUtf8(fields[3]), false);
        if (sent.mid(matched, bytes.size()) != bytes) break;
        matched += bytes.size();
    }
    return matched;
}

double peakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// One run: records its figures, which the parent prints.
int run(QApplication& app, const RunKind& kind, qsizetype size) {
    bench::BenchProgram program(app);
    test::PtyPeer peer(program.ports, kCom);
    Common common;
    FrmImage main(common);
    main.show();
    main.ChkTermMinimum->setChecked(false);
    // The line is never quiet for 100 ms: the whole stream is one block.
    if (!bench::openSlot(main, common, kCom, QStringLiteral("100"))) return 1;
    FrmTerminal& t = *main.TermForm[0];
    const QString logPath = QDir::current().absoluteFilePath(QStringLiteral("stream.txt"));
    program.boxes.fileAnswers = {logPath};
    t.MnuLog->trigger();
    if (kind.hex) t.MnuHex->trigger();

    const QByteArray sent = stream(size);
    ShownCounter shown(t.RecvText, sent, kind.hex);
    bench::LoopGapProbe gaps;
    std::atomic<bool> done{false};
    const double rss0 = peakRssMb();
    const double cpu0 = bench::threadCpuMs();
    const Clock::time_point start = Clock::now();
    gaps.start();
    std::thread sender([&] {
        if (!kind.paced) {
            peer.send(test::Bytes(sent.begin(), sent.end()));
        } else {
            for (qsizetype at = 0; at < sent.size(); at += kPacedChunk) {
                std::this_thread::sleep_until(start +
                                              std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(at / kLineRate)));
                const qsizetype n = std::min<qsizetype>(kPacedChunk, sent.size() - at);
                peer.send(test::Bytes(sent.begin() + at, sent.begin() + at + n));
            }
        }
        done = true;
    });
    // The run ends once everything sent is shown, on a byte out of place, or
    // long after the stream would have taken on the line.
    const double lineSeconds = sent.size() / kLineRate;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const double elapsed = bench::ms(Clock::now() - start) / 1e3;
        if (shown.inOrder() == sent.size() || shown.wrong() || elapsed > 2 * lineSeconds + 60)
            loop.quit();
    });
    poll.start();
    loop.exec();
    const double seconds = bench::ms(Clock::now() - start) / 1e3;
    const double cpuMs = bench::threadCpuMs() - cpu0;
    gaps.stop();
    sender.join();
    const double rssGrowth = peakRssMb() - rss0;
    // The last rows were logged as they were shown; the log ends here.
    t.MnuLog->trigger();

    const std::string name = kind.name;
    const double mb = sent.size() / 1e6;
    std::printf("%s: %.1f MB in %.1f s (%.2f MB/s), the line would take %.0f s; told: %s\n",
                kind.name, mb, seconds, mb / seconds, lineSeconds,
                qPrintable(program.boxes.messages.join(u" | ")));
    bench::atLeast(name + ": bytes shown / bytes sent", double(shown.inOrder()) / sent.size(), "",
                   1.0);
    bench::atLeast(name + ": bytes logged / bytes sent",
                   double(loggedInOrder(logPath, sent)) / sent.size(), "", 1.0);
    bench::atMost(name + ": peak RSS growth", rssGrowth, "MB", kind.rssTargetMb);
    if (kind.paced) {
        bench::below(name + ": program CPU / line time", cpuMs / 1e3 / seconds, "", 1.0);
    } else {
        std::printf("%s: program CPU / stream time %.2f\n", kind.name, cpuMs / 1e3 / seconds);
        // "8 MB within a minute or two": 10 MB within 150 s.
        bench::atMost(name + ": time to show 10 MB", seconds * 10e6 / sent.size(), "s", 150);
    }
    bench::recordLoopGap(name + ": longest event-loop gap", gaps.gaps());
    // A busy machine stretches the gaps above by time the program was not
    // running; this is the part of a gap the program's own work makes.
    bench::atMost(name + ": most CPU between two loop iterations", gaps.gaps().busiestMs, "ms", 20);
    main.requestClose(UnloadMode::Program);
    return 0;
}

// A run's figures cross to the parent as lines of tab-separated fields.
void writeFigures() {
    for (const bench::Figure& f : bench::figures()) {
        std::printf("figure\t%s\t%.6f\t%s\t%d\t%.6f\n", f.name.c_str(), f.value, f.unit.c_str(),
                    static_cast<int>(f.bound), f.target);
    }
}

bool readFigures(const QByteArray& output) {
    bool any = false;
    for (const QByteArray& line : output.split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() != 6 || f[0] != "figure") {
            if (!line.isEmpty()) std::printf("%s\n", line.constData());
            continue;
        }
        const std::string name = f[1].toStdString(), unit = f[3].toStdString();
        const double value = f[2].toDouble(), target = f[5].toDouble();
        switch (static_cast<bench::Bound>(f[4].toInt())) {
            case bench::Bound::AtMost:
                bench::atMost(name, value, unit, target);
                break;
            case bench::Bound::Below:
                bench::below(name, value, unit, target);
                break;
            case bench::Bound::AtLeast:
                bench::atLeast(name, value, unit, target);
                break;
        }
        any = true;
    }
    return any;
}

}  // namespace

int main(int argc, char** argv) {
    qsizetype size = 10'000'000;
    int only = -1;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--megabytes") == 0) size = std::atof(argv[i + 1]) * 1e6;
        if (std::strcmp(argv[i], "--run") == 0) only = std::atoi(argv[i + 1]);
    }
    if (only >= 0 && only < static_cast<int>(std::size(kRuns))) {
        bench::offscreenUnlessChosen();
        QApplication app(argc, argv);
        const int r = run(app, kRuns[only], size);
        writeFigures();
        return r;
    }
    // The parent runs each kind in a process of its own and prints them all.
    QCoreApplication app(argc, argv);
    for (int k = 0; k < static_cast<int>(std::size(kRuns)); ++k) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--run", QString::number(k), "--megabytes", QString::number(size / 1e6)});
        const bool ended = child.waitForFinished(-1);
        if (!readFigures(child.readAllStandardOutput()) || !ended || child.exitCode() != 0) {
            std::fprintf(stderr, "the run \"%s\" failed\n", kRuns[k].name);
            return 1;
        }
    }
    bench::printFigures();
    return 0;
}
