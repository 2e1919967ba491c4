// A job's private temporary folder on a real file system: the per-user
// folder is used only when it is this user's own folder (a link planted in
// its place, a file, a folder of someone else or of a wide mode are not
// trusted), job folders are private and never share a name, the folders of
// ended jobs go at the next start, and nothing ever follows a link.
#include "JobTempFolder.h"
#include "MediaTestSupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace mediatest;

namespace {

int modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0
        ? int(st.st_mode & (S_IFMT | 07777))
        : -1;
}

// A job folder name of a process that has ended.
QString endedJobName()
{
    QProcess p;
    p.start(QStringLiteral("sleep"), {QStringLiteral("0.01")});
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return QStringLiteral("job-%1-777-AbCdEf").arg(pid);
}

} // namespace

class TestTempFolder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void userFolder_data();
    void userFolder();
    void jobFolders();
    void endedJobsRemoved();

private:
    QTemporaryDir dir;
    QString tmp;
    QString cache;
    QString primary;
    QString victim;
};

void TestTempFolder::initTestCase()
{
    QVERIFY(dir.isValid());
    tmp = dir.filePath(QStringLiteral("tmp"));
    const QString home = dir.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(home));
    qputenv("TMPDIR", tmp.toUtf8());
    qputenv("HOME", home.toUtf8());
    qunsetenv("XDG_CACHE_HOME");
    primary = tmp + QStringLiteral("/spindra-%1").arg(::geteuid());
    cache = home + QStringLiteral("/.cache/spindra/tmp");
    victim = dir.filePath(QStringLiteral("victim"));
}

void TestTempFolder::init()
{
    for (const QString& path : {primary, cache, victim})
        QVERIFY(JobTempFolder::removeTree(path));
    QVERIFY(QDir().mkpath(victim));
    QVERIFY(writeFile(victim + QStringLiteral("/document.txt"), "precious"));
}

void TestTempFolder::userFolder_data()
{
    QTest::addColumn<QString>("planted"); // what is at <temp>/spindra-<uid> before
    QTest::addColumn<bool>("used");
    QTest::newRow("nothing: created private") << "nothing" << true;
    QTest::newRow("our folder, open to all: made private") << "wide" << true;
    QTest::newRow("a link to another folder") << "link" << false;
    QTest::newRow("a file") << "file" << false;
    QTest::newRow("another user's folder") << "foreign" << false;
}

void TestTempFolder::userFolder()
{
    QFETCH(QString, planted);
    QFETCH(bool, used);
    const QByteArray name = QFile::encodeName(primary);
    if (planted == QLatin1String("wide") || planted == QLatin1String("foreign")) {
        QVERIFY(::mkdir(name.constData(), 0777) == 0 && ::chmod(name.constData(), 0777) == 0);
        if (planted == QLatin1String("foreign") && ::chown(name.constData(), 4242, 4242) != 0)
            QSKIP("only root can give a folder to another user");
    }
    if (planted == QLatin1String("link"))
        QVERIFY(QFile::link(victim, primary));
    if (planted == QLatin1String("file"))
        QVERIFY(writeFile(primary, "not a folder"));

    const QString folder = JobTempFolder::userFolder();
    QCOMPARE(folder, used ? primary : cache);
    QCOMPARE(modeOf(folder), 0700 | S_IFDIR);
    {
        // A job there, removed with everything in it, and nothing else.
        JobTempFolder job;
        QVERIFY2(job.isValid(), qPrintable(job.error()));
        QVERIFY(job.path().startsWith(folder + QLatin1Char('/')));
        QVERIFY(writeFile(job.filePath(QStringLiteral("sound.u8")), "sound"));
    }
    QVERIFY(entries(folder).isEmpty());
    QCOMPARE(entries(victim), QStringList {QStringLiteral("document.txt")});
    if (planted == QLatin1String("link"))
        QCOMPARE(QFileInfo(primary).symLinkTarget(), victim);
}

void TestTempFolder::jobFolders()
{
    // Private, distinct, and removed without following a link in them.
    JobTempFolder a;
    JobTempFolder b;
    QVERIFY(a.isValid() && b.isValid());
    QVERIFY(a.path() != b.path());
    QCOMPARE(modeOf(a.path()), 0700 | S_IFDIR);
    QVERIFY(QFile::link(victim, a.filePath(QStringLiteral("sound.u8"))));
    QVERIFY(QDir().mkpath(a.filePath(QStringLiteral("inner"))));
    QVERIFY(QFile::link(victim, a.filePath(QStringLiteral("inner/deeper"))));
    a.remove();
    QVERIFY(!QFileInfo::exists(a.path()));
    QCOMPARE(entries(victim), QStringList {QStringLiteral("document.txt")});
    QVERIFY(QFileInfo(b.path()).isDir());
}

void TestTempFolder::endedJobsRemoved()
{
    const QString user = JobTempFolder::userFolder();
    const QString ended = QDir(user).filePath(endedJobName());
    const QString endedLink = endedJobName() + QStringLiteral("x");
    QVERIFY(QDir().mkpath(ended + QStringLiteral("/inner")));
    QVERIFY(writeFile(ended + QStringLiteral("/sound.u8"), "old sound"));
    QVERIFY(QFile::link(victim, ended + QStringLiteral("/inner/link")));
    QVERIFY(QFile::link(victim, QDir(user).filePath(endedLink)));
    // A folder of another kind, and a job of this running process, stay.
    QVERIFY(QDir().mkpath(QDir(user).filePath(QStringLiteral("keep-me"))));
    JobTempFolder running;
    QVERIFY(running.isValid());
    const QStringList before = entries(user);

    // The next job removes what ended jobs left, and only that.
    JobTempFolder next;
    QVERIFY(next.isValid());
    QStringList expected = before;
    expected.removeAll(QFileInfo(ended).fileName());
    expected.removeAll(endedLink);
    expected << QFileInfo(next.path()).fileName();
    expected.sort();
    QCOMPARE(entries(user), expected);
    QCOMPARE(entries(victim), QStringList {QStringLiteral("document.txt")});
}

QTEST_GUILESS_MAIN(TestTempFolder)
#include "tst_temp_folder.moc"
