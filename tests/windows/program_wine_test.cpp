// The program built for Windows, run under Wine against the virtual scanner:
// a Linux pseudo-terminal that the Wine prefix knows as a COM port, so that
// Windows lists it in its serial device map (with-vscanner.sh sets it up and
// names the port and the file the scanner keeps of each picture it ships).
// What is checked is what differs from the Linux build: the library loaded
// from the program's folder, ports discovered as Windows names them, the
// list following ports that come and go, and a real exchange through the
// COM port from dialog to terminal to picture.
#include <windows.h>
// After windows.h, which the device-change declarations build on.
#include <dbt.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_picture.h"
#include "frm_progress.h"
#include "frm_terminal.h"
#include "layout_check.h"

using namespace tavorin;

namespace {

QByteArray fileBytes(const QString& name) {
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int entryFor(const FrmComSetting& d, int com) {
    for (int i = 0; i < d.CmbPortNo->count(); ++i) {
        if (d.CmbPortNo->itemData(i).toInt() == com) return i;
    }
    return -1;
}

// Tells every top-level window that devices changed, as the system does
// when an adapter is plugged in or pulled.
void announceDeviceChange() {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                        2000, &result);
}

// The serial device map is where Windows (and Wine) registers every COM
// port a driver makes; a test port is one more value there.
constexpr wchar_t kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr wchar_t kTestDevice[] = L"\\Device\\TavorinTest";

bool mapPort(const wchar_t* port) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMap, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    LONG r;
    if (port) {
        r = RegSetValueExW(key, kTestDevice, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                           static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)));
    } else {
        r = RegDeleteValueW(key, kTestDevice);
    }
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

}  // namespace

class ProgramWineTest : public QObject {
    Q_OBJECT

    QTemporaryDir workDir;
    QString previousDir;
    RecordingDialog boxes;
    std::unique_ptr<Common> common;
    std::unique_ptr<FrmImage> main;
    int com = 0;
    QString shipped;

    // Clicks slot 0's button and opens the scanner's port at 115200 bps from
    // the dialog, as a user does.
    void openScannerSlot() {
        main->ChkTermMinimum->setChecked(false);
        const int port = com;
        main->runDialog = [port](FrmComSetting& d) {
            d.Form_Load();
            d.CmbPortNo->setCurrentIndex(entryFor(d, port));
            d.lists[comsetting::Baud]->setCurrentIndex(9);
            d.TxtTimeout->setText(QStringLiteral("3000"));
            d.CmdOpen_Click();
        };
        main->BtnComSetting_Click(0);
    }

  private slots:
    void initTestCase() {
        com = qEnvironmentVariableIntValue("TAVORIN_VSCANNER_COM");
        shipped = qEnvironmentVariable("TAVORIN_VSCANNER_SHIPPED");
        QVERIFY2(com > 0 && !shipped.isEmpty(), "started without with-vscanner.sh");
        QVERIFY(workDir.isValid());
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workDir.path()));
        applyProgramFont(*qApp);
        setDialog(&boxes);
        installPump();
    }
    void cleanupTestCase() {
        PumpSet(nullptr);
        setDialog(nullptr);
        mapPort(nullptr);
        QDir::setCurrent(previousDir);
    }
    void init() {
        boxes = RecordingDialog();
        common = std::make_unique<Common>();
        main = std::make_unique<FrmImage>(*common);
        main->show();
    }
    void cleanup() {
        main.reset();
        common.reset();
    }

    // The binding finds Ombrix.dll beside the program; a library that is not
    // there is told once, with where it was looked for and the system's
    // reason, and every call fails as for a port that is not open.
    void theLibraryComesFromTheProgramsFolder() {
        QVERIFY(QFile::exists(QCoreApplication::applicationDirPath() + "/Ombrix.dll"));
        QVERIFY(!PortName(com).isEmpty());
        QVERIFY(boxes.messages.isEmpty());

        binding::overrideLibrary(QStringLiteral("OmbrixMissing.dll"));
        QCOMPARE(PortOpen(com, 9, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
        QCOMPARE(PortOpen(com, 9, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
        binding::overrideLibrary(binding::libraryFileName());
        QCOMPARE(boxes.messages.size(), 1);
        const QString told = boxes.messages[0];
        QVERIFY2(told.startsWith("ライブラリ OmbrixMissing.dll を読み込めません。"),
                 qPrintable(told));
        QVERIFY2(told.contains(QDir::toNativeSeparators(QCoreApplication::applicationDirPath())) ||
                     told.contains(QCoreApplication::applicationDirPath()),
                 qPrintable(told));
        // The system's reason follows "理由: " and is not empty.
        QVERIFY2(told.section(QStringLiteral("理由: "), 1).section(u'\n', 0, 0).size() > 2,
                 qPrintable(told));
    }

    // The scanner's port is listed under the name Windows gives a port it
    // knows only from the serial device map; the list follows a port that
    // comes and goes while the dialog is open; the network port items stay
    // away, as Windows gets such ports from the device server's driver.
    void portsAreDiscoveredAsWindowsListsThem() {
        FrmComSetting& d = *main->ComSetForm[0];
        d.Form_Load();
        const int at = entryFor(d, com);
        QVERIFY2(at >= 0, "the scanner's COM port is not listed");
        QCOMPARE(d.CmbPortNo->itemText(at),
                 QStringLiteral("Serial%1 (COM%2)").arg(com - 1).arg(com));
        const std::unique_ptr<QMenu> menu = d.makePortMenu();
        QVERIFY(!menu->actions().contains(d.MnuNetAdd));
        QVERIFY(!menu->actions().contains(d.MnuNetRemove));

        QVERIFY(mapPort(L"COM77"));
        announceDeviceChange();
        QTRY_VERIFY_WITH_TIMEOUT(entryFor(d, 77) >= 0, 3000);
        QCOMPARE(d.CmbPortNo->itemText(entryFor(d, 77)), QStringLiteral("TavorinTest (COM77)"));
        QVERIFY(mapPort(nullptr));
        announceDeviceChange();
        QTRY_VERIFY_WITH_TIMEOUT(entryFor(d, 77) < 0, 3000);
        QVERIFY(entryFor(d, com) >= 0);
        d.close();
    }

    void aCommandAndItsReplyInTheTerminal() {
        openScannerSlot();
        QVERIFY2(common->ComHandle[0] >= 0, qPrintable(boxes.messages.join(" | ")));
        QCOMPARE(main->BtnComSetting[0]->text().contains(QStringLiteral("(COM%1)").arg(com)), true);
        FrmTerminal& t = *main->TermForm[0];
        QVERIFY(t.isVisible());
        t.SerialCmnd->setText(QStringLiteral("BEPLVL?"));
        QTest::keyClick(t.SerialCmnd, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(t.ResponseText->toPlainText().startsWith("BEPLVL"), 3000);
        QVERIFY(boxes.messages.isEmpty());
    }

    // With Windows' own platform and style (the test runs on it), whose
    // frames, arrows and margins take more room than elsewhere, every
    // caption and every list item can still be read whole, nothing overlaps
    // and nothing sticks out of its window.
    void everyWindowShowsEveryCaptionWholeInWindowsOwnStyle() {
        QVERIFY2(QGuiApplication::platformName() == "windows", "run with -platform windows");
        QVERIFY(installTranslations(*qobject_cast<QApplication*>(QCoreApplication::instance())));
        openScannerSlot();
        QVERIFY(common->ComHandle[0] >= 0);
        QStringList faults;
        auto check = [&](const QString& name, QWidget* w) {
            QCoreApplication::processEvents();
            for (const QString& f : test::layoutFaults(w)) faults << name + ": " + f;
        };
        for (int tab = 0; tab < main->SSTabImage->count(); ++tab) {
            main->SSTabImage->setCurrentIndex(tab);
            check(QStringLiteral("main window, tab %1").arg(tab), main.get());
        }
        FrmComSetting& d = *main->ComSetForm[1];
        d.Form_Load();
        d.show();
        check("connection dialog", &d);
        d.close();
        check("terminal", main->TermForm[0]);
        FrmProgress& p = main->progressWindow();
        p.showFor(-1, kPleaseWait);
        check("progress window", &p);
        p.unloadByProgram();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join("\n")));
    }

    // The picture arrives through the COM port into the tab's default file,
    // byte for byte as the scanner shipped it, and opens in the viewer.
    void anImgshpPictureArrivesWholeInItsFile() {
        openScannerSlot();
        QVERIFY(common->ComHandle[0] >= 0);
        QFile::remove(shipped);
        main->CmdImgExec_Click(1);
        QVERIFY2(boxes.messages.isEmpty(), qPrintable(boxes.messages.join(" | ")));
        const QByteArray sent = fileBytes(shipped);
        QVERIFY(sent.size() > 1000);
        QCOMPARE(fileBytes(QStringLiteral("Tavorin_Image1.JPG")), sent);
        QVERIFY(main->pictureWindow().isVisible());
        QVERIFY(common->WaitState == Wait::None);
    }
};

QTEST_MAIN(ProgramWineTest)
#include "program_wine_test.moc"
