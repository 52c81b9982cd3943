// The main window's image tabs as a user meets them: the lists and their
// first-start choices, the display box rule, the checks that keep the focus
// in a refused field, the lock during a command, the revert button, the
// compute button, what a restart brings back, and a layout in which every
// caption can be read.
#include <QAccessible>
#include <QFile>
#include <QTabBar>
#include <QtTest>
#include <memory>
#include <vector>

#include "app_start.h"
#include "common.h"
#include "dialog.h"
#include "frm_image.h"
#include "image_logic.h"
#include "layout_check.h"
#include "program_fixture.h"

using namespace tavorin;
using image::Control;
using image::Tab;

class ImageTabsWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

    bool activate() {
        main->activateWindow();
        return QTest::qWaitForWindowActive(main.get());
    }

    // Types into a number field as a user does: focus, then the keys.
    void typeInto(QLineEdit* box, const QString& text) {
        box->setFocus(Qt::MouseFocusReason);
        box->selectAll();
        QTest::keyClicks(box, text);
    }

  private slots:
    void initTestCase() {
        applyProgramFont(*qApp);
        QVERIFY(program.start());
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        QFile::remove(kSettingsFile);
        program.freshProgram();
    }
    void cleanup() { program.closeProgram(); }

    void everyFieldIsBuiltFromItsRowAtItsFirstStartState() {
        QCOMPARE(main->SSTabImage->count(), 3);
        QCOMPARE(main->SSTabImage->currentIndex(), 1);
        QCOMPARE(main->SSTabImage->tabText(2), QString("サインキャプチャ(IMGBOX）"));
        for (int t = 0; t < image::kTabCount; ++t) {
            const Tab tab = static_cast<Tab>(t);
            for (const image::Field& f : image::table(tab).fields) {
                const QString caption = QString::fromUtf16(f.caption);
                QLabel* label = main->labelOf(tab, f.label);
                QVERIFY2(label, qPrintable(caption));
                QCOMPARE(label->text(), caption);
                QWidget* control = label->buddy();
                QVERIFY(control);
                // Screen readers (and automation) find the field by its
                // caption: the label is the field's labelling relation.
                QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
                QVERIFY(a);
                bool labelled = false;
                for (const auto& r : a->relations(QAccessible::Label)) {
                    labelled |= r.first->object() == label;
                }
                QVERIFY2(labelled, qPrintable(caption));
                if (f.kind != image::Kind::List) QCOMPARE(a->text(QAccessible::Name), caption);
                if (QComboBox* list = main->listOf(f.id)) {
                    QCOMPARE(control, list);
                    QVERIFY(!list->isEditable());
                    QCOMPARE(list->count(), qsizetype(f.items.size()));
                    for (int i = 0; i < list->count(); ++i) {
                        const auto& item = f.items[static_cast<std::size_t>(i)];
                        QCOMPARE(list->itemText(i), QString::fromUtf16(item.text));
                        QCOMPARE(list->itemData(i).toInt(), int(item.data));
                    }
                    const int expected = f.defaultIndex < list->count() ? f.defaultIndex : 0;
                    QCOMPARE(list->currentIndex(), expected);
                } else {
                    QLineEdit* box = main->textOf(f.id);
                    QCOMPARE(control, box);
                    QCOMPARE(box->maxLength(), f.maxLength);
                    QVERIFY(box->text().isEmpty());
                }
            }
        }
        // A few facts the operator relies on, read from the widgets.
        QCOMPARE(main->CmbImgShp[0]->currentText(), QString("ＪＰＥＧ"));
        QCOMPARE(main->CmbImgShp[0]->itemData(7).toInt(), 8);
        QCOMPARE(main->CmbImgShp[8]->currentText(), QString("なし"));
        QCOMPARE(main->CmbImgSnp[4]->itemData(0).toInt(), 1);
        QCOMPARE(main->TxtImgShp[1]->maxLength(), 4);
        QCOMPARE(main->TxtImgBoxmm[0]->maxLength(), 10);
        for (int i : {1, 2}) {
            QVERIFY(main->ChkImageDisp[i]->isChecked());
            QVERIFY(main->ChkImageDisp[i]->isEnabled());
        }
    }

    void theFormatDecidesWhetherThePictureCanBeShown() {
        QCheckBox* shp = main->ChkImageDisp[1];
        main->CmbImgShp[0]->setCurrentIndex(5);  // item data 5, a TIFF kind
        QVERIFY(!shp->isEnabled());
        QVERIFY(shp->isChecked());
        main->CmbImgShp[3]->setCurrentIndex(2);  // another list of the tab
        QVERIFY(!shp->isEnabled());
        QVERIFY(main->ChkImageDisp[2]->isEnabled());  // the other tab's box
        main->CmbImgShp[0]->setCurrentIndex(7);       // BMP
        QVERIFY(shp->isEnabled());
        main->CmbImgBox[0]->setCurrentIndex(0);  // KIM
        QVERIFY(!main->ChkImageDisp[2]->isEnabled());
        QVERIFY(shp->isEnabled());
    }

    void aRefusedFieldKeepsTheFocusWhereverTheUserClicks() {
        QVERIFY(activate());
        main->SSTabImage->setCurrentIndex(0);
        QLineEdit* exposure = main->TxtImgSnp[0];
        typeInto(exposure, "8E3");
        QTest::mouseClick(main->CmdImgExec[0], Qt::LeftButton);
        QCOMPARE(boxes.messages, QStringList{"0～7874の範囲の数値を入力してください"});
        QCOMPARE(exposure->text(), QString("8000"));
        QCOMPARE(QApplication::focusWidget(), exposure);

        // Another tab, Tab, a list: none escapes, and the run button's click
        // never happened (it would have said that no scanner is connected).
        QTabBar* bar = main->SSTabImage->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
        QCOMPARE(main->SSTabImage->currentIndex(), 0);
        QTest::keyClick(exposure, Qt::Key_Tab);
        QTest::mouseClick(main->CmbImgSnp[0], Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), exposure);
        QCOMPARE(boxes.messages.size(), 4);
        QVERIFY(!boxes.messages.contains("スキャナが接続されていません"));

        // Letters stay as typed; a value that rounds into range passes and
        // the click goes through.
        typeInto(exposure, "x1");
        QTest::mouseClick(main->CmdImgExec[0], Qt::LeftButton);
        QCOMPARE(boxes.messages.last(), QString("数値を入力してください"));
        QCOMPARE(exposure->text(), QString("x1"));
        typeInto(exposure, "7.5");
        QTest::mouseClick(main->CmdImgExec[0], Qt::LeftButton);
        QCOMPARE(exposure->text(), QString("8"));
        QCOMPARE(boxes.messages.last(), QString("スキャナが接続されていません"));

        // Millimetres take their decimals as the user leaves.
        boxes.messages.clear();
        main->SSTabImage->setCurrentIndex(2);
        typeInto(main->TxtImgBoxmm[0], "0.33");
        QTest::keyClick(main->TxtImgBoxmm[0], Qt::Key_Tab);
        QCOMPARE(main->TxtImgBoxmm[0]->text(), QString("0.330"));
        QVERIFY(QApplication::focusWidget() != main->TxtImgBoxmm[0]);
        QVERIFY(boxes.messages.isEmpty());

        // Texts the program sets are never checked.
        main->TxtImgShp[0]->setText("abc");
        common->ImgSnpSetting = "0,0,0,0,0,9999,,,,";
        main->CmdCancel_Click(0);
        QCOMPARE(main->TxtImgSnp[0]->text(), QString("9999"));
        QVERIFY(boxes.messages.isEmpty());
    }

    void aRunningCommandLocksEveryControl() {
        main->CmbImgShp[0]->setCurrentIndex(1);  // TIFF: display box disabled
        main->SetImageControlsEnabled(false);
        QList<QWidget*> all{main->SSTabImage, main->BtnCompute};
        for (auto* b : main->BtnComSetting) all << b;
        for (auto* w : main->CmdImgExec) all << w;
        for (auto* w : main->TxtImgShp) all << w;
        for (auto* w : main->TxtImgBoxmm) all << w;
        for (auto* w : main->CmbImgSnp) all << w;
        for (QWidget* w : all) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QTabBar* bar = main->SSTabImage->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(0).center());
        QCOMPARE(main->SSTabImage->currentIndex(), 1);

        main->SetImageControlsEnabled(true);
        for (QWidget* w : all) QVERIFY(w->isEnabled());
        QVERIFY(main->ChkImageDisp[1]->isEnabled());
        QVERIFY(main->ChkImageDisp[2]->isEnabled());
    }

    void revertAndComputeWorkOnTheTabsOwnFields() {
        main->CmbImgShp[2]->setCurrentIndex(2);
        main->TxtImgShp[4]->setText("100");
        main->TxtImageFile[1]->setText("/tmp/a,b.jpg");
        main->StoreImgShpFields();
        QCOMPARE(common->ImgShpSetting, QString("6,0,2,0,0,0,0,0,0,1,0,,,,,100,,,,"));
        main->CmbImgShp[2]->setCurrentIndex(0);
        main->TxtImgShp[4]->setText("7");
        main->TxtImageFile[1]->clear();
        main->TxtImgSnp[0]->setText("5");
        main->CmdCancel_Click(1);
        QCOMPARE(main->CmbImgShp[2]->currentIndex(), 2);
        QCOMPARE(main->TxtImgShp[4]->text(), QString("100"));
        QCOMPARE(main->TxtImageFile[1]->text(), QString("/tmp/a,b.jpg"));
        QCOMPARE(main->TxtImgSnp[0]->text(), QString("5"));  // another tab's field

        main->TxtImgBoxmm[0]->setText("0.330");
        main->TxtImgBoxmm[1]->setText("10.00");
        main->TxtImgBoxmm[3]->setText("abc");
        main->TxtImgBox[4]->setText("44");
        main->BtnCompute_Click();
        QCOMPARE(main->TxtImgBox[2]->text(), QString("30"));
        QCOMPARE(main->TxtImgBox[4]->text(), QString("44"));
        QVERIFY(boxes.messages.isEmpty());
        QVERIFY(activate());
        main->TxtImgBoxmm[0]->clear();
        main->BtnCompute_Click();
        QCOMPARE(boxes.messages, QStringList{"数値を入力してください"});
        QCOMPARE(QApplication::focusWidget(), main->TxtImgBoxmm[0]);
    }

    void aRestartBringsBackWhatTheLastCommandsStored() {
        // Every field of the three tabs away from its first-start state.
        int n = 0;
        for (int t = 0; t < image::kTabCount; ++t) {
            for (const image::Field& f : image::table(static_cast<Tab>(t)).fields) {
                if (QComboBox* list = main->listOf(f.id)) {
                    list->setCurrentIndex(list->count() - 1);
                } else {
                    main->textOf(f.id)->setText(QString::number(++n));
                }
            }
        }
        main->TxtImageFile[1]->setText("shp,1.jpg");
        main->TxtImageFile[2]->setText("box.bmp");
        main->StoreImgSnpFields();
        main->StoreImgShpFields();
        main->StoreImgBoxFields();
        std::vector<image::Values> stored;
        for (int t = 0; t < image::kTabCount; ++t) stored.push_back(main->values(Tab(t)));
        // Typing after the last command is not remembered.
        main->TxtImgSnp[0]->setText("999");
        main->requestClose(UnloadMode::UserClose);
        program.closeProgram();

        QFile ini(kSettingsFile);
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = ini.readAll().split('\n');
        QVERIFY(lines.contains("IMGSHPFL=shp,1.jpg\r"));
        QVERIFY(lines.contains("IMGSNP=2,1,1,1,3,1,2,3,4,5\r"));

        program.freshProgram();
        for (int t = 0; t < image::kTabCount; ++t) {
            const image::Values now = main->values(Tab(t));
            QCOMPARE(now.size(), stored[std::size_t(t)].size());
            for (std::size_t i = 0; i < now.size(); ++i) {
                QCOMPARE(now[i].listIndex, stored[std::size_t(t)][i].listIndex);
                QCOMPARE(now[i].text, stored[std::size_t(t)][i].text);
            }
        }
        QCOMPARE(main->TxtImageFile[1]->text(), QString("shp,1.jpg"));
        QCOMPARE(main->TxtImageFile[2]->text(), QString("box.bmp"));
        // BMP restored on the IMGBOX tab: its display box is usable.
        QVERIFY(main->ChkImageDisp[2]->isEnabled());
    }

    void aRestoredTextLongerThanItsFieldStaysWholeUntilShortened() {
        // Every text field of the three tabs one character past its length.
        program.closeProgram();
        QByteArray ini;
        std::vector<QString> settings;
        for (int t = 0; t < image::kTabCount; ++t) {
            const Tab tab = static_cast<Tab>(t);
            image::Values v = image::loadFields(tab, QString());
            const auto fields = image::table(tab).fields;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                if (fields[i].kind != image::Kind::List) {
                    v[i].text = QString::number(i % 10).repeated(fields[i].maxLength + 1);
                }
            }
            settings.push_back(image::storeFields(tab, v));
            static const char* const keys[] = {"IMGSNP=", "IMGSHP=", "IMGBOX="};
            ini += keys[t] + settings.back().toLatin1() + "\r\n";
        }
        {
            QFile f(kSettingsFile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(ini);
        }
        program.freshProgram();
        for (int t = 0; t < image::kTabCount; ++t) {
            for (const image::Field& f : image::table(static_cast<Tab>(t)).fields) {
                if (QLineEdit* box = main->textOf(f.id)) {
                    QCOMPARE(box->text().size(), f.maxLength + 1);
                }
            }
        }
        main->StoreImgSnpFields();
        main->StoreImgShpFields();
        main->StoreImgBoxFields();
        QCOMPARE(common->ImgSnpSetting, settings[0]);
        QCOMPARE(common->ImgShpSetting, settings[1]);
        QCOMPARE(common->ImgBoxSetting, settings[2]);

        // The user may shorten it, in place, but not lengthen it; once it
        // fits, the field's own length holds again.
        QVERIFY(activate());
        QLineEdit* exposure = main->TxtImgSnp[0];  // 4 characters
        FrmImage::SetTextOrDefault(exposure, "12345", QString());
        QCOMPARE(exposure->text(), QString("12345"));
        exposure->setFocus(Qt::MouseFocusReason);
        exposure->setCursorPosition(2);
        QTest::keyClick(exposure, Qt::Key_9);
        QCOMPARE(exposure->text(), QString("12345"));
        QTest::keyClick(exposure, Qt::Key_Backspace);
        QCOMPARE(exposure->text(), QString("1345"));
        QCOMPARE(exposure->cursorPosition(), 1);
        QTest::keyClick(exposure, Qt::Key_9);
        QCOMPARE(exposure->text(), QString("1345"));
        QCOMPARE(exposure->maxLength(), 4);
        // The revert button restores the stored text whole again.
        main->CmdCancel_Click(0);
        QCOMPARE(exposure->text().size(), 5);
    }

    void everyCaptionFitsAndNoControlsOverlap() {
        QVERIFY(QTest::qWaitForWindowExposed(main.get()));
        for (int t = 0; t < image::kTabCount; ++t) {
            main->SSTabImage->setCurrentIndex(t);
            QCoreApplication::processEvents();
            QWidget* page = main->SSTabImage->currentWidget();
            const QStringList faults = test::clippedCaptions(page) +
                                       test::overlappingControls(page) + test::outsideWindow(page);
            QVERIFY2(faults.isEmpty(), qPrintable(QString("tab %1: ").arg(t) + faults.join("; ")));
        }
    }
};

QTEST_MAIN(ImageTabsWindowTest)
#include "image_tabs_window_test.moc"
