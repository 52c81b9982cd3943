#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common.h"
#include "dialog.h"

namespace tavorin {
namespace {

// Every case runs in a directory of its own: the settings file lives in
// the current directory.
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override {
        chmod(QFile::encodeName(dir.path()).constData(), 0700);
        QDir::setCurrent(previous);
    }
    void writeFile(const QByteArray& text) {
        QFile f(kSettingsFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray readFile() {
        QFile f(kSettingsFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QString previous;
    Common c;
};

TEST_F(SettingsTest, LinesAreMatchedByTheirKeysInOrder) {
    c.ImgSnpSetting = "stale";
    LoadSettings(c);
    EXPECT_TRUE(c.ImgSnpSetting.isEmpty()) << "no file: every text empty";

    writeFile(
        "SCANNER2=3,5,1,0,0,0,0,3,100\r\n"
        "SCANNER4=x\r\nSCANNERX=x\r\nSCANNER1x\r\n"
        "SYSSET=V1.10 1\r\n"
        "IMGSHPFL=C:\\a.tif\r\n"
        "IMGSNP=1,2\r\n"
        "IMGBOXFL=box.bmp\r\n"
        "IMGBOX=9\r\n"
        "junk line\r\n"
        "IMGSNP=3,4\n");  // a later line wins; a bare LF is a line end too
    LoadSettings(c);
    EXPECT_EQ(c.ComSetting[1], "3,5,1,0,0,0,0,3,100");
    EXPECT_TRUE(c.ComSetting[0].isEmpty());
    EXPECT_TRUE(c.ComSetting[2].isEmpty());
    EXPECT_TRUE(c.TermMinimum.isEmpty()) << "another version's SYSSET line is ignored";
    EXPECT_EQ(c.ImgShpFileSetting, "C:\\a.tif");
    EXPECT_TRUE(c.ImgShpSetting.isEmpty());
    EXPECT_EQ(c.ImgSnpSetting, "3,4");
    EXPECT_EQ(c.ImgBoxSetting, "9");
    EXPECT_EQ(c.ImgBoxFileSetting, "box.bmp");

    writeFile("SYSSET=V1.00 0\r\n");
    LoadSettings(c);
    EXPECT_EQ(c.TermMinimum, "0");
    EXPECT_TRUE(c.ComSetting[1].isEmpty());
}

TEST_F(SettingsTest, SaveWritesNineLinesInOrderAndReadsBack) {
    writeFile("IMGBOXFL=z\r\nSCANNER3=old\r\nextra\r\n");
    LoadSettings(c);
    c.ComSetting = {"0,9,1,0,0,0,0,3,100", "", "2,5,1,0,0,0,0,3,100"};
    c.TermMinimum = "1";
    c.ImgSnpSetting = "a";
    c.ImgShpSetting = "b";
    c.ImgShpFileSetting = "画像.jpg";
    c.ImgBoxSetting = "d";
    ASSERT_TRUE(SaveSettings(c));
    EXPECT_EQ(readFile(), QByteArray("SCANNER1=0,9,1,0,0,0,0,3,100\r\n"
                                     "SCANNER2=\r\n"
                                     "SCANNER3=2,5,1,0,0,0,0,3,100\r\n"
                                     "SYSSET=V1.00 1\r\n"
                                     "IMGSNP=a\r\n"
                                     "IMGSHP=b\r\n"
                                     "IMGSHPFL=") +
                              QString("画像.jpg").toLocal8Bit() +
                              QByteArray("\r\nIMGBOX=d\r\n"
                                         "IMGBOXFL=z\r\n"));
    Common back;
    LoadSettings(back);
    EXPECT_EQ(back.ComSetting, c.ComSetting);
    EXPECT_EQ(back.TermMinimum, "1");
    EXPECT_EQ(back.ImgShpFileSetting, "画像.jpg");
    EXPECT_EQ(back.ImgBoxFileSetting, "z");
}

TEST_F(SettingsTest, AFailedSaveLeavesThePreviousFileWhole) {
    writeFile("SCANNER1=keep\r\n");
    c.ComSetting[0] = "new";

    // A disk that fills up midway: the file-size limit binds root as well.
    signal(SIGXFSZ, SIG_IGN);
    rlimit previousLimit{};
    getrlimit(RLIMIT_FSIZE, &previousLimit);
    rlimit small = previousLimit;
    small.rlim_cur = 40;
    setrlimit(RLIMIT_FSIZE, &small);
    bool saved = SaveSettings(c);
    setrlimit(RLIMIT_FSIZE, &previousLimit);
    EXPECT_FALSE(saved);
    EXPECT_EQ(readFile(), QByteArray("SCANNER1=keep\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1)
        << "no temporary left behind";

    // A directory the user may not write to. Root writes anywhere, so as
    // root the save runs in a child that has given up its privileges.
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0555), 0);
    if (geteuid() != 0) {
        EXPECT_FALSE(SaveSettings(c));
    } else {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
            _exit(SaveSettings(c) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: saved anyway, 3: could not drop privileges";
    }
    EXPECT_EQ(readFile(), QByteArray("SCANNER1=keep\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST(Messages, ErrorCodesAndFileNames) {
    RecordingDialog d;
    setDialog(&d);
    for (int code : {0, 5, -7, -8, -99}) ShowErrorMessage(code);
    EXPECT_TRUE(d.messages.isEmpty());
    for (int code = -1; code >= -6; --code) ShowErrorMessage(code);
    EXPECT_EQ(d.messages, (QStringList{"ポートオープンエラー", "ファイルエラー", "受信タイムアウト",
                                       "キャンセル", "パラメータエラー", "通信エラー"}));
    setDialog(nullptr);

    EXPECT_EQ(MakeImageFileName(0, "jpg"), "Tavorin_Image1.jpg");
    EXPECT_EQ(MakeImageFileName(2, "tif"), "Tavorin_Image3.tif");
}

}  // namespace
}  // namespace tavorin
