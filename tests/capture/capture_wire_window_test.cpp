// The same field values, once set in the main window's tabs and run with
// its run button, once given to tavorin-capture as options: the scanner
// must see the same command on the wire.
#include <QProcess>
#include <QtTest>
#include <memory>

#include "capture_options.h"
#include "frm_image.h"
#include "image_tabs.h"
#include "program_fixture.h"

using namespace tavorin;
using image::Tab;

class CaptureWireWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;

    // The bytes the window sent for one run of the tab's command.
    test::Bytes windowWire(test::PtyPeer& peer, Tab tab, const QStringList& fields) {
        program.freshProgram();
        program.openSlotOn(peer.com(), QStringLiteral("3000"));
        if (program.common->ComHandle[0] < 0) return {};
        for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
            const image::Field* f = nullptr;
            for (const image::Field& row : image::table(tab).fields) {
                if (fields[i] == QStringLiteral("--") + QLatin1String(row.option)) f = &row;
            }
            if (!f) return {};
            if (f->kind == image::Kind::List) {
                program.main->listOf(f->id)->setCurrentIndex(capture::itemIndex(*f, fields[i + 1]));
            } else {
                program.main->textOf(f->id)->setText(fields[i + 1]);
            }
        }
        peer.clearWire();
        program.main->CmdImgExec_Click(static_cast<int>(tab));
        peer.waitFrames(peer.frames() + 1, std::chrono::milliseconds(3000));
        const test::Bytes wire = peer.wire();
        program.closeProgram();
        return wire;
    }

    test::Bytes toolWire(test::PtyPeer& peer, Tab tab, const QStringList& fields) {
        peer.clearWire();
        QProcess tool;
        QStringList args{QStringLiteral("--port"), QStringLiteral("COM%1").arg(peer.com()),
                         QStringLiteral("--") + QLatin1String(image::table(tab).option)};
        tool.start(QStringLiteral(CAPTURE_CLI), args + fields);
        if (!tool.waitForFinished(10000)) return {};
        return peer.wire();
    }

  private slots:
    void initTestCase() { QVERIFY(program.start()); }
    void cleanupTestCase() { program.stop(); }

    void sameFieldsSameCommandOnTheWire() {
        test::PtyPeer peer(*program.ports, 242);
        // Every command is refused at once, so that both sides end quickly.
        peer.setResponder([](const std::string& text, char) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            return test::bytes(text.substr(0, 6) + "\x15.");
        });
        const test::Bytes greeting = test::bytes("\x16M\rBEPBEP?.");
        struct Row {
            Tab tab;
            QStringList fields;
        };
        const Row rows[] = {
            {Tab::Shp, {"--format", "bmp",      "--depth",     "bw",  "--flip",         "vertical",
                        "--rotate", "right-90", "--blur",      "on",  "--gloss",        "on",
                        "--pixels", "1",        "--histogram", "on",  "--jpeg-quality", "75",
                        "--gamma",  "120",      "--edge",      "3",   "--text-filter",  "9",
                        "--left",   "10",       "--right",     "600", "--top",          "0",
                        "--bottom", "400"}},
            {Tab::Box,
             {"--format", "kim", "--depth", "bw", "--gamma", "50", "--resolution", "2", "--aspect",
              "3", "--height", "200", "--width", "400", "--x-offset", "0", "--y-offset", "10"}},
            {Tab::Snp,
             {"--style", "manual", "--beep", "on", "--led", "on", "--gain", "high", "--exposure",
              "100", "--delta", "20", "--tries", "3", "--white", "120", "--set-point", "40"}},
        };
        for (const Row& row : rows) {
            const test::Bytes window = windowWire(peer, row.tab, row.fields);
            QVERIFY2(window.size() > 4, image::table(row.tab).keyword);
            const test::Bytes tool = toolWire(peer, row.tab, row.fields);
            test::Bytes expected = greeting;
            expected.insert(expected.end(), window.begin(), window.end());
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(tool.data()),
                                static_cast<qsizetype>(tool.size())),
                     QByteArray(reinterpret_cast<const char*>(expected.data()),
                                static_cast<qsizetype>(expected.size())));
        }
    }
};

QTEST_MAIN(CaptureWireWindowTest)
#include "capture_wire_window_test.moc"
