#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "dialog.h"
#include "work_folder.h"

namespace tavorin {
namespace {

Environment environment(const QString& dataHome, const QString& home) {
    return [dataHome, home](const char* name) {
        return QByteArray(name) == "XDG_DATA_HOME" ? dataHome
               : QByteArray(name) == "HOME"        ? home
                                                   : QString();
    };
}

TEST(WorkFolder, ChosenFromHowTheProgramWasStartedAndTheEnvironment) {
    struct Row {
        QStringList arguments;
        QString dataHome;
        QString home;
        bool fromMenu;
        QString path;
    };
    const QStringList menu{kFromMenuArgument};
    const Row rows[] = {
        // From a terminal: the current directory, whatever the environment.
        {{}, "/data", "/home/u", false, ""},
        {{"-style", "fusion", "--from-menu-x"}, "/data", "/home/u", false, ""},
        // From the menu: the data folder, where it is named absolutely.
        {menu, "/data", "/home/u", true, "/data/tavorin"},
        {{"-style", "fusion", kFromMenuArgument}, "/data/", "/home/u", true, "/data/tavorin"},
        {menu, "", "/home/u", true, "/home/u/.local/share/tavorin"},
        {menu, "rel/data", "/home/u/", true, "/home/u/.local/share/tavorin"},
        {menu, "/data", "", true, "/data/tavorin"},
        // Nothing absolute to put it in.
        {menu, "", "", true, ""},
        {menu, "data", "home", true, ""},
    };
    for (const Row& r : rows) {
        const WorkFolder w = chooseWorkFolder(r.arguments, environment(r.dataHome, r.home));
        EXPECT_EQ(w.fromMenu, r.fromMenu) << r.arguments.join(' ').toStdString();
        EXPECT_EQ(w.path, r.path) << r.dataHome.toStdString() << " | " << r.home.toStdString();
    }
}

// The menu's entry is what marks a start from the menu: its command must
// carry the mark, or the program would still write into the home folder.
TEST(WorkFolder, TheDesktopEntryStartsTheProgramFromTheMenu) {
    QFile entry(QStringLiteral(TAVORIN_DESKTOP_ENTRY));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList command;
    while (!entry.atEnd()) {
        const QString line = QString::fromUtf8(entry.readLine()).trimmed();
        if (line.startsWith(QStringLiteral("Exec="))) {
            command = line.mid(5).split(u' ', Qt::SkipEmptyParts);
        }
    }
    ASSERT_FALSE(command.isEmpty());
    EXPECT_EQ(command.first(), "Tavorin_WIN");
    EXPECT_TRUE(chooseWorkFolder(command.mid(1), environment("/data", "/home/u")).fromMenu);
}

// Every case starts in a directory of its own and returns to where it was;
// the dialog seam records what the user would have been told.
class EnterWorkFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        start = dir.filePath("start");
        ASSERT_TRUE(QDir().mkpath(start));
        ASSERT_TRUE(QDir::setCurrent(start));
        setDialog(&boxes);
    }
    void TearDown() override {
        setDialog(nullptr);
        QDir::setCurrent(previous);
    }
    static int mode(const QString& path) {
        struct stat st {};
        return stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }
    WorkFolder menu(const QString& path) { return {true, path}; }

    QTemporaryDir dir;
    QString previous;
    QString start;
    RecordingDialog boxes;
};

TEST_F(EnterWorkFolder, MakesWhatIsMissingForTheUserOnlyAndWorksThere) {
    const QString data = dir.filePath("home/.local/share");
    EXPECT_TRUE(enterWorkFolder(menu(data + "/tavorin")));
    EXPECT_EQ(QDir::currentPath(), data + "/tavorin");
    for (const QString& made : {dir.filePath("home"), data, data + "/tavorin"}) {
        EXPECT_EQ(mode(made), 0700) << made.toStdString();
    }
    EXPECT_TRUE(boxes.messages.isEmpty());

    // A folder that is there already is used as it is, its mode kept.
    const QString shared = dir.filePath("shared");
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(chmod(QFile::encodeName(shared).constData(), 0755), 0);
    EXPECT_TRUE(enterWorkFolder(menu(shared)));
    EXPECT_EQ(QDir::currentPath(), shared);
    EXPECT_EQ(mode(shared), 0755);

    // A start from a terminal stays where it is.
    ASSERT_TRUE(QDir::setCurrent(start));
    EXPECT_TRUE(enterWorkFolder({false, shared}));
    EXPECT_EQ(QDir::currentPath(), start);
    EXPECT_TRUE(boxes.messages.isEmpty());
}

TEST_F(EnterWorkFolder, AFolderThatCannotBeUsedIsToldAndTheFilesStayInTheCurrentDirectory) {
    // A file where a folder should be, and no folder named at all.
    QFile blocker(dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString blocked = dir.filePath("file/share/tavorin");
    EXPECT_FALSE(enterWorkFolder(menu(blocked)));
    EXPECT_FALSE(enterWorkFolder(menu(QString())));
    EXPECT_EQ(QDir::currentPath(), start);
    ASSERT_EQ(boxes.messages.size(), 2);
    EXPECT_TRUE(boxes.messages[0].contains(blocked));
    EXPECT_TRUE(boxes.messages[0].contains(QString::fromLocal8Bit(strerror(ENOTDIR))));
    EXPECT_TRUE(boxes.messages[1].contains("~/.local/share/tavorin"));
    for (const QString& m : boxes.messages) {
        EXPECT_TRUE(m.endsWith("設定と画像は「" + start + "」に保存します。")) << m.toStdString();
    }

    // A folder the user may not write to would lose the settings at the
    // end without a word. Root writes anywhere, so as root the attempt runs
    // in a child that has given up its privileges.
    const QString locked = dir.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_EQ(chmod(QFile::encodeName(locked).constData(), 0555), 0);
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        RecordingDialog told;
        setDialog(&told);
        const bool entered = enterWorkFolder(menu(locked));
        _exit(entered ? 1 : QDir::currentPath() != start ? 2 : told.messages.size() != 1 ? 4 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: entered anyway, 2: moved, 3: could not drop privileges, 4: not told once";
}

}  // namespace
}  // namespace tavorin
