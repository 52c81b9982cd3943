// The image tabs' run buttons end to end: the command goes to the virtual
// scanner (or to a scanner the test plays), the picture lands in its file,
// and the user sees the viewer or exactly the message the outcome calls for,
// after which every control works again.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
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
#include "program_fixture.h"
#include "vscanner/scanner.h"

using namespace tavorin;

namespace {

const QString kDone = QStringLiteral("イメージコマンド正常終了");

QByteArray fileBytes(const QString& name) {
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class ImageExecWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

    // Opens slot 0 on COM `com` at 115200 bps with a first-byte time-out.
    void openSlot(int com, const QString& timeout = "3000") { program.openSlotOn(com, timeout); }

    // What must hold after any command, whatever its outcome.
    void verifyEverythingUsableAgain() {
        QVERIFY(common->WaitState == Wait::None);
        QVERIFY(!main->progressWindow().isVisible());
        QVERIFY(main->SSTabImage->isEnabled());
        for (QPushButton* b : main->CmdImgExec) QVERIFY(b->isEnabled());
        for (QPushButton* b : main->BtnComSetting) QVERIFY(b->isEnabled());
        QVERIFY(main->TxtImgShp[0]->isEnabled());
        if (common->ComHandle[0] >= 0) QVERIFY(main->TermForm[0]->RecvTimer.isActive());
    }

    // A scanner the test plays on COM 240, answering image commands with
    // `answer` and recording the wire.
    std::unique_ptr<test::PtyPeer> playedScanner(std::function<test::Bytes()> answer) {
        auto peer = std::make_unique<test::PtyPeer>(*program.ports, 240);
        peer->setResponder([answer](const std::string& text, char) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            return answer();
        });
        return peer;
    }

  private slots:
    void initTestCase() {
        applyProgramFont(*qApp);
        QVERIFY(program.start());
        installPump();
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        for (const QString& f : QDir().entryList(QDir::Files)) QFile::remove(f);
        program.freshProgram();
    }
    void cleanup() { program.closeProgram(); }

    void anIdleSlotOrARefusedComposeSendsNothing() {
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages, QStringList{"スキャナが接続されていません"});
        vscanner::Scanner scanner({});
        openSlot(scanner.com());
        const auto served = scanner.commandsServed();
        main->TxtImgShp[4]->setText("500");
        main->TxtImgShp[5]->setText("500");
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages.last(), QString("右には左より大きな数値を入力してください"));
        QVERIFY(common->ImgShpSetting.isEmpty());  // nothing stored
        main->CmdImgExec_Click(2);                 // IMGBOX without its area
        QCOMPARE(boxes.messages.last(), QString("数値を入力してください"));
        QCOMPARE(scanner.commandsServed(), served);
        verifyEverythingUsableAgain();
    }

    void aPacedJpegLandsInTheDefaultFileAndOpensTheViewer() {
        vscanner::Options o;
        o.pace = true;
        vscanner::Scanner scanner(o);
        openSlot(scanner.com());
        // Watched while the picture arrives inside the library's waits.
        bool sawProgress = false, lockedThroughout = true;
        QTimer sampler;
        sampler.setInterval(25);
        connect(&sampler, &QTimer::timeout, this, [&] {
            if (common->WaitState != Wait::Transfer) return;
            sawProgress |= main->progressWindow().isVisible();
            lockedThroughout &= !main->CmdImgExec[0]->isEnabled() &&
                                !main->BtnComSetting[1]->isEnabled() &&
                                !main->TermForm[0]->RecvTimer.isActive();
        });
        sampler.start();
        main->CmdImgExec_Click(1);
        sampler.stop();
        QVERIFY(sawProgress);
        QVERIFY(lockedThroughout);
        QVERIFY2(boxes.messages.isEmpty(), qPrintable(boxes.messages.join(", ")));
        const QString name = "Tavorin_Image1.JPG";
        QVERIFY(QFile::exists(name));
        QImageReader reader(name);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        QCOMPARE(reader.size(), QSize(640, 480));
        FrmPicture& viewer = main->pictureWindow();
        QVERIFY(viewer.isVisible());
        QCOMPARE(viewer.DispImage, name);
        QVERIFY(main->ImageOK);
        QVERIFY(main->TxtImageFile[1]->text().isEmpty());
        QCOMPARE(common->ImgShpSetting, QString("6,0,0,0,0,0,0,0,0,1,0,,,,,,,,,"));
        verifyEverythingUsableAgain();
    }

    void aTiffIsReportedNotShown() {
        vscanner::Scanner scanner({});
        openSlot(scanner.com());
        main->CmbImgShp[0]->setCurrentIndex(3);  // grey-scale TIFF
        QVERIFY(main->ChkImageDisp[1]->isChecked());
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages, QStringList{kDone});
        QVERIFY(!main->pictureWindow().isVisible());
        const QByteArray tiff = fileBytes("Tavorin_Image1.TIF");
        QVERIFY(tiff.startsWith("II*") || tiff.startsWith("MM\0*"));
        verifyEverythingUsableAgain();
    }

    void aBitmapGoesWhereTheBrowseDialogSays() {
        vscanner::Scanner scanner({});
        openSlot(scanner.com());
        main->CmbImgShp[0]->setCurrentIndex(7);  // BMP
        main->TxtImageFile[1]->setText("old.bmp");
        main->BtnRefFile_Click(1);  // cancelled
        QCOMPARE(main->TxtImageFile[1]->text(), QString("old.bmp"));
        const QString chosen = QDir::current().filePath("sub/../pic.bmp");
        boxes.fileAnswers.push_back(chosen);
        main->BtnRefFile_Click(1);
        QCOMPARE(main->TxtImageFile[1]->text(), QDir::current().absoluteFilePath("pic.bmp"));
        QCOMPARE(boxes.fileRequests.size(), std::size_t(2));
        const auto& request = boxes.fileRequests.back();
        QCOMPARE(request.initial, QString("old.bmp"));
        QCOMPARE(request.filter, QString("ビットマップファイル(*.BMP);;全てのファイル (*.*)"));
        QCOMPARE(request.defaultSuffix, QString("BMP"));

        main->CmdImgExec_Click(1);
        QVERIFY2(boxes.messages.isEmpty(), qPrintable(boxes.messages.join(", ")));
        QImageReader reader("pic.bmp");
        QCOMPARE(reader.format(), QByteArray("bmp"));
        QVERIFY(main->pictureWindow().isVisible());

        // A name that says another format is refused before anything is
        // sent; the fields were stored all the same.
        const auto served = scanner.commandsServed();
        main->TxtImageFile[1]->setText("pic.jpg");
        main->TxtImgShp[0]->setText("75");
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages, QStringList{"ファイルフォーマットとファイル名が合っていません"});
        QCOMPARE(scanner.commandsServed(), served);
        QCOMPARE(common->ImgShpFileSetting, QString("pic.jpg"));
        QVERIFY(common->ImgShpSetting.endsWith(",75,,,,,,,,"));
        main->TxtImageFile[1]->setText("UPPER.BMP");
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages.size(), 1);
        QVERIFY(QFile::exists("UPPER.BMP"));
        verifyEverythingUsableAgain();
    }

    void anImgboxSendsWhatTheComposerPromised() {
        const QByteArray jpeg = test::sampleJpeg();
        auto peer = playedScanner([&] {
            return test::PtyPeer::imageReply("IMG", test::Bytes(jpeg.begin(), jpeg.end()),
                                             "IMGBOX\x06.");
        });
        openSlot(peer->com());
        main->SSTabImage->setCurrentIndex(2);
        const QStringList mm{"0.330", "10.00", "20", "40", "0", "3.3"};
        for (int i = 0; i < 6; ++i) main->TxtImgBoxmm[std::size_t(i)]->setText(mm[i]);
        main->BtnCompute_Click();
        const image::Composed expected = image::MakeImgBoxCommand(main->values(image::Tab::Box));
        QCOMPARE(expected.command, QString("IMGBOX2P6F8D30S61H121W0X10Y"));
        peer->clearWire();
        main->CmdImgExec_Click(2);
        const test::Bytes wire = peer->wire();
        const std::string frame = "\x16M\r" + expected.command.toStdString() + ".";
        QCOMPARE(std::string(wire.begin(), wire.end()), frame);
        QCOMPARE(fileBytes("Tavorin_Image1.JPG"), jpeg);
        QVERIFY(main->pictureWindow().isVisible());
        QVERIFY(boxes.messages.isEmpty());
        verifyEverythingUsableAgain();
    }

    // A file name remembered with a NUL in it (written by something other
    // than the program) is passed over as a malformed value is: the picture
    // goes to the default name, never to the file the name is cut to.
    void aRememberedFileNameWithANulWritesNoOtherFile() {
        program.closeProgram();
        for (const auto& [name, bytes] :
             {std::pair{kSettingsFile, QByteArray("IMGSHPFL=notes.txt\0.jpg\r\n", 25)},
              std::pair{QString("notes.txt"), QByteArray("my notes")}}) {
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        program.freshProgram();
        QCOMPARE(main->TxtImageFile[1]->text(), QString());
        const QByteArray jpeg = test::sampleJpeg();
        auto peer = playedScanner([&] {
            return test::PtyPeer::imageReply("IMG", test::Bytes(jpeg.begin(), jpeg.end()),
                                             "IMGSHP\x06.");
        });
        openSlot(peer->com());
        main->CmdImgExec_Click(1);
        QCOMPARE(fileBytes("Tavorin_Image1.JPG"), jpeg);
        QCOMPARE(fileBytes("notes.txt"), QByteArray("my notes"));
        QCOMPARE(QDir().entryList(QDir::Files),
                 (QStringList{"notes.txt", "Tavorin.ini", "Tavorin_Image1.JPG"}));
        verifyEverythingUsableAgain();
    }

    void aSnapWaitsForTheTriggerOrForTheCancel() {
        vscanner::Scanner scanner({});
        openSlot(scanner.com());
        main->CmbImgSnp[3]->setCurrentIndex(1);  // on the trigger
        main->CmdImgExec_Click(0);
        FrmProgress& progress = main->progressWindow();
        QVERIFY(progress.isVisible());
        QCOMPARE(progress.LblMessage->text(), QString("トリガボタンを押してください"));
        QVERIFY(progress.BtnWaitCancel->isEnabled());
        QVERIFY(!main->CmdImgExec[0]->isEnabled());
        QTest::qWait(300);  // polled, nothing yet
        QVERIFY(boxes.messages.isEmpty());
        scanner.pressTrigger();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.messages, QStringList{kDone}, 10000);
        QVERIFY(!main->ImgRecvTimer.isActive());
        verifyEverythingUsableAgain();

        // The same, cancelled: the scanner must be restarted, the slot ends.
        boxes.messages.clear();
        main->CmdImgExec_Click(0);
        QVERIFY(progress.isVisible());
        progress.BtnWaitCancel_Click();
        QTRY_COMPARE_WITH_TIMEOUT(
            boxes.messages, QStringList{"スキャナの電源をOFFにして、再投入してください"}, 5000);
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        QCOMPARE(common->ComHandle[0], -1);
        verifyEverythingUsableAgain();
        const std::int32_t again = PortOpen(scanner.com(), 9, 1, 0, 0, 0);
        QVERIFY(again >= 0);
        PortClose(again);
    }

    void aScannerThatVanishesDuringASnapEndsTheWait() {
        auto peer = playedScanner([] { return test::Bytes{}; });
        openSlot(peer->com());
        main->CmdImgExec_Click(0);
        QVERIFY(main->progressWindow().isVisible());
        QTest::qWait(250);
        peer->hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.messages, QStringList{"通信エラー"}, 3000);
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        QCOMPARE(common->ComHandle[0], -1);
        QVERIFY(!main->ImgRecvTimer.isActive());
        verifyEverythingUsableAgain();
    }

    void theScannersRefusalsAndFaultsEachSayOneThing() {
        struct Case {
            vscanner::Fault fault;
            QStringList messages;
        };
        const Case cases[] = {
            {vscanner::Fault::NakAll, {"パラメータエラー"}},
            {vscanner::Fault::EnqAll, {"コマンドエラー"}},
            {vscanner::Fault::HangUpMidImage, {"通信エラー"}},
        };
        for (const Case& c : cases) {
            vscanner::Options o;
            o.fault = c.fault;
            vscanner::Scanner scanner(o);
            openSlot(scanner.com());
            boxes.messages.clear();
            main->TxtImageFile[1]->setText("chosen.jpg");
            main->CmdImgExec_Click(1);
            QCOMPARE(boxes.messages, c.messages);
            QVERIFY2(!QFile::exists("chosen.jpg"), "no picture, not even part of one");
            QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter("chosen").size(), 0);
            verifyEverythingUsableAgain();
            if (c.fault == vscanner::Fault::HangUpMidImage) {
                // The scanner has gone: the slot ends with the one message,
                // and no later tick of the terminal tells it again.
                QCOMPARE(common->ComHandle[0], -1);
                QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
                QTest::qWait(300);
                QCOMPARE(boxes.messages, c.messages);
            }
            if (main->TermForm[0]->isLoaded()) main->TermForm[0]->unloadByProgram();
        }
    }

    void aReplyOfAnotherFormOrSilence() {
        auto odd = playedScanner([] { return test::bytes("IMGSHPX!"); });
        openSlot(odd->com());
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages, QStringList{"通信エラー発生！"});
        verifyEverythingUsableAgain();
        main->TermForm[0]->unloadByProgram();
        odd.reset();

        auto silent = playedScanner([] { return test::Bytes{}; });
        openSlot(silent->com(), "300");
        boxes.messages.clear();
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages, (QStringList{"設定を再確認してください。", "受信タイムアウト"}));
        verifyEverythingUsableAgain();
    }

    // The picture came whole and was stored; then the scanner went before
    // its closing reply: the user is told the failure and that the file
    // holds the new picture.
    void aPictureThatCameWholeIsKeptAndSaidSo() {
        const std::string picture = "a whole picture";
        auto peer = playedScanner(
            [&] { return test::PtyPeer::imageReply("IMG", test::bytes(picture), ""); });
        openSlot(peer->com());
        boxes.messages.clear();
        main->TxtImageFile[1]->setText("chosen.jpg");
        QTimer::singleShot(500, [&] { peer->hangUp(); });
        main->CmdImgExec_Click(1);
        QCOMPARE(boxes.messages,
                 (QStringList{"通信エラー",
                              "画像は chosen.jpg に保存しましたが、スキャナの終了応答が"
                              "ありませんでした"}));
        QCOMPARE(fileBytes("chosen.jpg").toStdString(), picture);
    }

    void aTerminalClosedByTheProgramMidTransferEndsQuietly() {
        vscanner::Options o;
        o.pace = true;
        vscanner::Scanner scanner(o);
        openSlot(scanner.com());
        bool closed = false;
        QTimer closer;
        closer.setInterval(30);
        connect(&closer, &QTimer::timeout, this, [&] {
            if (closed || common->WaitState != Wait::Transfer) return;
            closed = true;
            main->TermForm[0]->unloadByProgram();
        });
        closer.start();
        main->CmdImgExec_Click(1);
        closer.stop();
        QVERIFY(closed);
        QVERIFY2(boxes.messages.isEmpty(), qPrintable(boxes.messages.join(", ")));
        QCOMPARE(common->ComHandle[0], -1);
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        verifyEverythingUsableAgain();
        QVERIFY(!QFile::exists("Tavorin_Image1.JPG"));
        // The port was closed once the transfer had ended.
        const std::int32_t again = PortOpen(scanner.com(), 9, 1, 0, 0, 0);
        QVERIFY(again >= 0);
        PortClose(again);
    }
};

QTEST_MAIN(ImageExecWindowTest)
#include "image_exec_window_test.moc"
