// What the logger trusts on the file system, and what a start changes: only
// directories nobody else could have changed, only files of its own with one
// link, and nothing at all unless the start succeeds.
#include "support.h"

#include <QRegularExpression>

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

// Runs a shell script as user nobody.
void asNobody(const QString& script)
{
    const Child c = runCommand({"sh", "-c", script}, {}, true);
    ASSERT_EQ(c.exitCode, 0) << c.err.toStdString();
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
        const char* acl = ""; // setfacl -m
    } rows[] = {
        {"ours, group root may write", 0755, 0770, 0, 0, true},
        {"sticky and open to all", 0755, 01777, 0, 0, true},
        {"another user's", 0755, 0755, 65534, 0, false},
        {"open to all, not sticky", 0755, 0777, 0, 0, false},
        {"a group of other users may write", 0755, 0770, 0, 65534, false},
        {"a directory above is open to all", 0777, 0755, 0, 0, false},
        // The group bits then show the ACL's mask, with group root.
        {"an ACL lets another user write", 0755, 0755, 0, 0, false, "u:nobody:rwx"},
        {"an ACL lets a group of other users write", 0755, 0755, 0, 0, false, "g:nogroup:rwx"},
        {"an ACL lets another user read", 0755, 0755, 0, 0, true, "u:nobody:rx"},
    };
    const bool haveSetfacl = runCommand({"setfacl", "--version"}).exitCode == 0;
    for (const auto& row : rows) {
        if (*row.acl && !haveSetfacl)
            continue; // told below
        TempDir dir;
        const QString logs = dir.file("above/logs/");
        ASSERT_TRUE(QDir().mkpath(logs));
        ASSERT_EQ(chmod(encoded(dir.file("above")).constData(), row.parentMode), 0);
        ASSERT_EQ(chown(encoded(logs).constData(), row.owner, row.group), 0);
        ASSERT_EQ(chmod(encoded(logs).constData(), row.mode), 0);
        if (*row.acl) {
            ASSERT_EQ(runCommand({"setfacl", "-m", row.acl, logs}).exitCode, 0) << row.what;
        }
        const Child r = runHost({"init-record", logs, "demo", "30", "5", "log", "1", "5"});
        EXPECT_EQ(r.out.startsWith("init:1\n"), row.starts) << row.what;
        EXPECT_EQ(fileNames(logs).size(), row.starts ? 1 : 0) << row.what;
        if (!row.starts) { // the refusal names the one command after which the directory is used
            const QRegularExpressionMatch fix = QRegularExpression("to use it: ([^\"]+)\"").match(r.err);
            ASSERT_TRUE(fix.hasMatch()) << row.what << '\n' << r.err.toStdString();
            EXPECT_EQ(runCommand({"sh", "-c", fix.captured(1)}).exitCode, 0) << fix.captured(1).toStdString();
            EXPECT_TRUE(runHost({"init-record", logs, "demo", "30", "5"}).out.startsWith("init:1\n")) << row.what;
        }
    }
    if (!haveSetfacl)
        GTEST_SKIP() << "setfacl (Debian's acl) is not installed: the ACL rows did not run";
}

TEST(Trust, ARefusedStartChangesNothingEvenWithAHandlerThatLogs)
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
        EXPECT_EQ(logFilesUnder(tmp.path), QStringList({"logs/" + T + "_1_demo.log", "t/" + T + "_1_.log"}))
            << handler.join(' ').toStdString();
    }
}

TEST(Trust, RetentionRemovesFilesWithoutProc)
{
    // A mount namespace of its own without /proc, as in a chroot or early boot.
    TempDir dir;
    writeFile(dir.file("20000101_1_demo.log"), "old line\n");
    const QStringList host = hostCommand({"init-record", dir.path, "demo", "30", "1"}, fakeClock({"FAKETIME=+2d"}));
    const Child r = runCommand(
        QStringList{"unshare", "-m", "--propagation", "private", "sh", "-c", "umount -l /proc && exec \"$0\" \"$@\""} +
        host);
    if (r.exitCode != 0 && !r.out.contains("init:"))
        GTEST_SKIP() << "no mount namespace, or a host that cannot run without /proc (sanitizers): "
                     << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.file("20000101_1_demo.log")));
}

TEST(Trust, OtherUsersFilesAndTheLogsOwnAreLeftAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the rows run another user (setpriv), chroot and chown";
    // In the set-up scripts, the host's commands, its environment and the
    // expected files: $D is the test's directory (sticky, open to all), $T today.
    const QStringList startAndLog = {"init-record", "$D/", "demo", "30", "5", "log", "1", "5"};
    const struct
    {
        const char* fault;
        QString nobody, root; // set-up, as user nobody, then as root (sh)
        QStringList host, env;
        bool starts;
        QMap<QString, int> lines; // files and their lines; 0: some; -1: nothing at that path
        QStringList told;         // on the host's stdout and stderr
        QString nobodyAfter = {}; // then, as user nobody, must succeed
    } rows[] = {
        // A row on as few lines as it takes:
        // clang-format off
        {"a log name starting with \".\" and no path: the temporary directory itself", "", "mkdir -m 1777 $D/t",
         {"init-record", "", ".hidden", "30", "5"}, {"TMPDIR=$D/t"}, false,
         {{"$D/t/$T_1_.hidden.log", -1}}, {"gives no folder"}},
        {"start-up retention: only own files named as log files, each told with its age",
         "echo n >$D/20000101_3_demo.log", "echo a >$D/important.log; echo b >$D/20000101_1_demo.log",
         {"init-record", "$D/", "demo", "30", "1"}, fakeClock({"FAKETIME=+2d"}), true,
         {{"$D/important.log", 1}, {"$D/20000101_3_demo.log", 1}, {"$D/20000101_1_demo.log", -1}},
         {"20000101_1_demo.log\" age 2.0 days"}},
        {"another user's dangling link at the first name", "ln -s /nonexistent $D/$T_1_demo.log", "",
         startAndLog, {}, true, {{"$D/$T_2_demo.log", 1}}, {}},
        {"a directory at the first name", "", "mkdir $D/$T_1_demo.log",
         startAndLog, {}, true, {{"$D/$T_2_demo.log", 1}}, {}},
        {"a directory at the next name while running", "", "",
         {"init-record", "$D/", "demo", "1", "5", "mkdir", "$D/$T_2_demo.log", "log", "1100", "1000", "status"}, {},
         true, {{"$D/$T_3_demo.log", 0}}, {"written:1100 lost:0 "}},
        {"today's file writable by all", "", "echo old >$D/$T_1_demo.log; chmod 666 $D/$T_1_demo.log",
         startAndLog, {}, true, {{"$D/$T_1_demo.log", 1}, {"$D/$T_2_demo.log", 1}}, {}},
        {"today's file readable by all", "", "echo old >$D/$T_1_demo.log; chmod 644 $D/$T_1_demo.log",
         startAndLog, {}, true, {{"$D/$T_1_demo.log", 1}, {"$D/$T_2_demo.log", 1}}, {}},
        {"today's file readable by another user through an ACL", "",
         "echo old >$D/$T_1_demo.log; chmod 640 $D/$T_1_demo.log; setfacl -m u:nobody:r $D/$T_1_demo.log",
         startAndLog, {}, true, {{"$D/$T_1_demo.log", 1}, {"$D/$T_2_demo.log", 1}}, {}},
        {"a default ACL of the directory would let another user read the file", "",
         "mkdir $D/logs; setfacl -d -m u:nobody:rw $D/logs",
         {"init-record", "$D/logs/", "demo", "30", "5", "log", "1", "5"}, {}, true,
         {{"$D/logs/$T_1_demo.log", 1}}, {}, "! cat $D/logs/$T_1_demo.log 2>/dev/null"},
        {"chroot without chdir: the walk starts at the process's root", "", "mkdir $D/jail",
         {"chroot", "$D/jail", "init-record", "$D/jail/inner/", "demo", "30", "5", "log", "1", "5"},
         {"ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":detect_leaks=0"}, true,
         {{"$D/jail$D/jail/inner/$T_1_demo.log", 1}, {"$D/jail/inner", -1}}, {}},
        {"records before the start: inside the temporary directory, never in another user's file there", "",
         "mkdir -m 1777 $D/t; echo x >$D/t/x.log; chmod 666 $D/t/x.log; chown 65534:65534 $D/t/x.log",
         {"log", "1", "5", "init-record", "$D/logs/", "demo", "30", "5", "log", "1", "5"}, {"TMPDIR=$D/t"}, true,
         {{"$D/t/x.log", 1}, {"$D/t/$T_1_.log", 1}, {"$D/t$T_1_.log", -1}, {"$D/logs/$T_1_demo.log", 1}}, {}},
        {"another user's link at the default directory, to a directory of root's", "",
         "mkdir -m 1777 $D/t $D/root; echo x >$D/root/20000101_1_demo.log; ln -s $D/root $D/t/demo; "
         "chown -h 65534:65534 $D/t/demo",
         {"init-record", "", "demo", "30", "1", "log", "1", "5"}, {"TMPDIR=$D/t"}, false,
         {{"$D/root/20000101_1_demo.log", 1}, {"$D/root/$T_1_demo.log", -1}}, {}},
        {"today's files another user's, or with a second link: a new one, closed to others", "",
         "echo x >$D/$T_1_demo.log; chmod 666 $D/$T_1_demo.log; chown 65534:65534 $D/$T_1_demo.log; "
         "mkdir $D/e; echo x >$D/e/secret; chmod 600 $D/e/secret; ln $D/e/secret $D/$T_2_demo.log",
         startAndLog, {}, true, {{"$D/$T_1_demo.log", 1}, {"$D/e/secret", 1}, {"$D/$T_3_demo.log", 1}}, {},
         "! cat $D/$T_3_demo.log 2>/dev/null"},
        {"percent signs in the directory and the name", "", "",
         {"init-record", "$D/run%1/", "de%1mo", "30", "5", "log", "1", "5"}, {}, true,
         {{"$D/run%1/$T_1_de%1mo.log", 1}}, {}},
        {"a regular file where the log directory should be", "", "echo x >$D/taken",
         {"init-record", "$D/taken/", "demo", "30", "5"}, {}, false, {{"$D/taken", 1}},
         {"current dir is not exists!，will create new dir ! \"$D/taken/\"",
          "mkpath logpath error ,please check it! \"$D/taken/\""}},
        {"a NUL in the INI file's LogPath", "",
         "printf '[LogConfig]\\nLogName=demo\\nLogPath=%s/a\\000\\000Path=/\\n' $D >$D/ini",
         {"init-ini", "$D/ini"}, {}, false, {{"$D/a", -1}}, {"NUL"}},
        {"a NUL in the INI file's LogName", "",
         "printf '[LogConfig]\\nLogName=de\\000mo\\nLogPath=%s\\n' $D >$D/ini",
         {"init-ini", "$D/ini"}, {}, false, {{"$D/log", -1}}, {"NUL"}},
        // clang-format on
    };
    const bool haveSetfacl = runCommand({"setfacl", "--version"}).exitCode == 0;
    for (const auto& row : rows) {
        if (row.root.contains("setfacl") && !haveSetfacl)
            continue; // told below
        SharedDir dir;
        const QString d = dir.path.chopped(1);
        const auto fill = [&](QString text) { return text.replace("$D", d).replace("$T", T); };
        const auto fillAll = [&](QStringList list) {
            for (QString& item : list)
                item = fill(item);
            return list;
        };
        if (!row.nobody.isEmpty())
            asNobody(fill(row.nobody));
        ASSERT_EQ(runCommand({"sh", "-c", fill(row.root)}).exitCode, 0) << row.fault;
        const Child r = runHost(fillAll(row.host), fillAll(row.env));
        EXPECT_EQ(r.out.contains("init:1\n"), row.starts) << row.fault << '\n' << r.err.toStdString();
        for (auto it = row.lines.begin(); it != row.lines.end(); ++it)
            if (it.value() < 0)
                EXPECT_FALSE(QFileInfo::exists(fill(it.key()))) << row.fault << ": " << it.key().toStdString();
            else if (it.value() == 0)
                EXPECT_GT(readLines(fill(it.key())).size(), 0) << row.fault << ": " << it.key().toStdString();
            else
                EXPECT_EQ(readLines(fill(it.key())).size(), it.value()) << row.fault << ": " << it.key().toStdString();
        for (const QString& text : fillAll(row.told))
            EXPECT_TRUE(r.out.contains(text) || r.err.contains(text)) << row.fault << ": " << text.toStdString() << '\n'
                                                                      << r.err.toStdString();
        if (!row.nobodyAfter.isEmpty())
            asNobody(fill(row.nobodyAfter));
    }
    if (!haveSetfacl)
        GTEST_SKIP() << "setfacl (Debian's acl) is not installed: the ACL rows did not run";
}
