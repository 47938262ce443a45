// What the logger trusts on the file system, and what a start changes: only
// directories nobody else could have changed, only files of its own with one
// link, and nothing at all unless the start succeeds.
#include "support.h"

#include <QFileInfo>

#include <sys/stat.h>

using namespace testing_support;

namespace
{
const QString T = today();

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

// Gives `path` (a link itself, not what it points to) to user nobody, as if
// that user had made it.
void giveToNobody(const QString& path)
{
    ASSERT_EQ(lchown(encoded(path).constData(), 65534, 65534), 0) << path.toStdString();
}

// A directory open to all, sticky, like /tmp.
struct SharedDir : TempDir
{
    SharedDir() { chmod(encoded(path).constData(), 01777); }
};

// All ".log" files under `dir`, relative to it.
QStringList logFilesUnder(const QString& dir)
{
    QStringList found;
    for (const QString& sub : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QString& name : logFilesUnder(dir + sub + "/"))
            found << sub + "/" + name;
    return found + QDir(dir).entryList({"*.log"}, QDir::Files | QDir::Hidden);
}
} // namespace

TEST(Trust, ADirectoryAnotherUserCouldChangeIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a directory to another user needs root";
    const struct
    {
        const char* what;
        mode_t parentMode, mode;
        uid_t owner;
        gid_t group;
        bool starts;
    } rows[] = {
        {"ours, group root may write", 0755, 0770, 0, 0, true},
        {"sticky and open to all", 0755, 01777, 0, 0, true},
        {"another user's", 0755, 0755, 65534, 0, false},
        {"open to all, not sticky", 0755, 0777, 0, 0, false},
        {"a group of other users may write", 0755, 0770, 0, 65534, false},
        {"a directory above is open to all", 0777, 0755, 0, 0, false},
    };
    for (const auto& row : rows) {
        TempDir dir;
        const QString logs = dir.file("above/logs/");
        ASSERT_TRUE(QDir().mkpath(logs));
        ASSERT_EQ(chmod(encoded(dir.file("above")).constData(), row.parentMode), 0);
        ASSERT_EQ(chown(encoded(logs).constData(), row.owner, row.group), 0);
        ASSERT_EQ(chmod(encoded(logs).constData(), row.mode), 0);
        const Child r = runHost({"init-record", logs, "demo", "30", "5", "log", "1", "5"});
        EXPECT_EQ(r.out.startsWith("init:1\n"), row.starts) << row.what;
        EXPECT_EQ(fileNames(logs).size(), row.starts ? 1 : 0) << row.what;
    }
}

TEST(Trust, ALinkAnotherUserMadeIsNeverFollowed)
{
    // <temp>/demo, the predictable default, is another user's link to a
    // directory of root's: no retention there, no file made there.
    if (geteuid() != 0)
        GTEST_SKIP() << "a link of another user's needs root to make";
    SharedDir tmp;
    TempDir victim;
    writeFile(victim.file("old.log"), "not the logger's\n");
    QDir().mkdir(tmp.file("t"));
    chmod(encoded(tmp.file("t")).constData(), 01777);
    ASSERT_TRUE(QFile::link(victim.path, tmp.file("t/demo")));
    giveToNobody(tmp.file("t/demo"));
    const Child r = runHost({"init-record", "", "demo", "30", "1", "log", "1", "5"},
                            fakeClock({"FAKETIME=+2d"}) + QStringList{"TMPDIR=" + tmp.file("t")});
    EXPECT_TRUE(r.out.startsWith("init:0\n"));
    EXPECT_EQ(fileNames(victim.path), QStringList{"old.log"});
}

TEST(Trust, OnlyAFileOfItsOwnWithOneLinkIsContinued)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a file of another user's needs root to make";
    SharedDir dir;
    const QString planted = dir.file(T + "_1_demo.log"), linked = dir.file(T + "_2_demo.log");
    writeFile(planted, "planted\n");
    chmod(encoded(planted).constData(), 0666);
    giveToNobody(planted);
    TempDir elsewhere;
    writeFile(elsewhere.file("secret"), "secret\n");
    ASSERT_EQ(link(encoded(elsewhere.file("secret")).constData(), encoded(linked).constData()), 0);
    const Child r = runHost({"init-record", dir.path, "demo", "30", "5", "log", "1", "5"});
    EXPECT_TRUE(r.out.startsWith("init:1\n"));
    EXPECT_EQ(readLines(planted), QStringList{"planted"});
    EXPECT_EQ(readLines(linked), QStringList{"secret"});
    const QString made = dir.file(T + "_3_demo.log");
    EXPECT_EQ(readLines(made).size(), 1);
    struct stat st = {};
    ASSERT_EQ(stat(encoded(made).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // the umask of the tests is 022
}

TEST(EarlyRecords, NeverContinueAnotherUsersFileAndMoveToTheStartedDirectory)
{
    // <temp> is tmp/t, so the default file <temp><date>_<id>_.log lands in tmp.
    if (geteuid() != 0)
        GTEST_SKIP() << "a file of another user's needs root to make";
    SharedDir tmp;
    TempDir dir;
    QDir().mkdir(tmp.file("t"));
    chmod(encoded(tmp.file("t")).constData(), 01777);
    writeFile(tmp.file("t/x.log"), "foreign\n");
    chmod(encoded(tmp.file("t/x.log")).constData(), 0666);
    giveToNobody(tmp.file("t/x.log"));
    writeFile(tmp.file("t/mine.log"), "another program's, of the same user\n");
    const Child r = runHost({"log", "1", "5", "init-record", dir.path, "demo", "30", "5", "log", "1", "6"},
                            {"TMPDIR=" + tmp.file("t")});
    EXPECT_TRUE(r.out.contains("init:1\n"));
    EXPECT_EQ(readLines(tmp.file("t/x.log")), QStringList{"foreign"});
    EXPECT_EQ(readLines(tmp.file("t/mine.log")), QStringList{"another program's, of the same user"});
    const QStringList early = readLines(tmp.file("t" + T + "_1_.log"));
    ASSERT_EQ(early.size(), 1);
    EXPECT_TRUE(early[0].endsWith("[xxxxx]"));
    const QStringList started = readLines(dir.file(T + "_1_demo.log"));
    ASSERT_EQ(started.size(), 1);
    EXPECT_TRUE(started[0].endsWith("[xxxxxx]"));
}

TEST(Startup, ARefusedStartChangesNothingEvenWithAHandlerThatLogs)
{
    for (const QStringList& handler : {QStringList(), QStringList{"capture"}}) {
        TempDir tmp;
        QDir().mkdir(tmp.file("t"));
        // A size limit of 0 is refused; its records go on to the one default file.
        const Child r = runHost(handler + QStringList{"init-record", tmp.file("logs/"), "demo", "0", "5", "log", "50",
                                                      "5", "init-record", tmp.file("logs/"), "demo", "1", "5"},
                                {"TMPDIR=" + tmp.file("t")});
        EXPECT_EQ(r.exitCode, 0) << handler.join(' ').toStdString();
        EXPECT_TRUE(r.out.startsWith("init:0\ninit:1\n")) << handler.join(' ').toStdString();
        EXPECT_EQ(logFilesUnder(tmp.path), QStringList({"logs/" + T + "_1_demo.log", "t" + T + "_1_.log"}))
            << handler.join(' ').toStdString();
    }
}

TEST(Naming, PercentSignsInDirectoryAndNameAreKept)
{
    TempDir dir;
    const Child r = runHost({"init-record", dir.file("run%1/"), "de%1mo", "30", "5", "log", "1", "5"});
    EXPECT_TRUE(r.out.startsWith("init:1\n"));
    EXPECT_EQ(readLines(dir.file("run%1/" + T + "_1_de%1mo.log")).size(), 1);
}

TEST(Retention, RemovesFilesWithoutProc)
{
    // A mount namespace of its own without /proc, as in a chroot or early boot.
    TempDir dir;
    writeFile(dir.file("old.log"), "old line\n");
    const QStringList host = hostCommand({"init-record", dir.path, "demo", "30", "1"}, fakeClock({"FAKETIME=+2d"}));
    const Child r = runCommand(
        QStringList{"unshare", "-m", "--propagation", "private", "sh", "-c", "umount -l /proc && exec \"$0\" \"$@\""} +
        host);
    if (r.exitCode != 0 && !r.out.contains("init:"))
        GTEST_SKIP() << "no mount namespace, or a host that cannot run without /proc (sanitizers): "
                     << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.file("old.log")));
}
