// Whole fan files or none: the temporary output name and the process tag it
// carries, a link at a temporary name never followed, and what a job
// removes from its output folder before it writes there (only temporary
// files of this user's ended processes).
#include <QtTest>

#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

#include "engine_test_support.h"
#include "platform.h"

using namespace enginetest;

namespace {

QString ownTag()
{
    char tag[64];
    return QString::fromLatin1(engine_process_tag(tag, sizeof tag));
}

// The tag of a process that has ended (a child started and waited for).
QString endedTag()
{
    QProcess p;
    p.start(QStringLiteral("sleep"), {QStringLiteral("0.01")});
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return QStringLiteral("%1-12345").arg(pid);
}

} // namespace

class TestConvertOutput : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void processTag_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<int>("alive");
        const QString own = ownTag();
        const QString pid = own.section(QLatin1Char('-'), 0, 0);
        const qulonglong start = own.section(QLatin1Char('-'), 1).toULongLong();
        QTest::newRow("this process") << own << 1;
        QTest::newRow("this id, another start: a later process")
            << QStringLiteral("%1-%2").arg(pid).arg(start + 1) << 0;
        QTest::newRow("an ended process") << endedTag() << 0;
        QTest::newRow("not a tag") << "abc-1" << -1;
        QTest::newRow("no start") << "12" << -1;
        QTest::newRow("dash without start") << "12-x" << -1;
    }
    void processTag()
    {
        QFETCH(QString, tag);
        QFETCH(int, alive);
        QVERIFY(ownTag().section(QLatin1Char('-'), 1).toULongLong() > 0);
        const QByteArray text = tag.toLatin1();
        QCOMPARE(engine_process_tag_alive(text.constData(), nullptr), alive);
    }

    void staleNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("stale");
        const QString ended = endedTag();
        QTest::newRow("an ended process's") << ".spindra-" + ended + "-0.part" << true;
        QTest::newRow("this process's") << ".spindra-" + ownTag() + "-7.part" << false;
        QTest::newRow("another ending") << ".spindra-" + ended + "-0.bin" << false;
        QTest::newRow("no number") << ".spindra-" + ended + ".part" << false;
        QTest::newRow("a fan file") << "00_00001.bin" << false;
    }
    void staleNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, stale);
        QCOMPARE(convert_output_is_stale(QFile::encodeName(name).constData()) != 0, stale);
    }

    void linkAtTemporaryName()
    {
        // A new file is never made through a link, dangling or not.
        const QString victim = path(QStringLiteral("victim"));
        const QString link = path(QStringLiteral(".spindra-link.part"));
        QVERIFY(QFile::link(victim, link));
        FILE* f = engine_create_new(QFile::encodeName(link).constData());
        QVERIFY(!f);
        QCOMPARE(errno, EEXIST);
        QVERIFY(!QFileInfo::exists(victim));
        QFile::remove(link);
    }

    void jobRemovesOnlyEndedLeftovers()
    {
        const QString folder = path(QStringLiteral("sweep"));
        QVERIFY(QDir().mkpath(folder));
        const QString ended = endedTag();
        const QString dead = QStringLiteral(".spindra-%1-0.part").arg(ended);
        const QString live = QStringLiteral(".spindra-%1-999.part").arg(ownTag());
        const QString deadLink = QStringLiteral(".spindra-%1-1.part").arg(ended);
        const QString strangers = QStringLiteral(".spindra-%1-2.part").arg(ended);
        const QString victim = path(QStringLiteral("victim.txt"));
        QVERIFY(writeFile(victim, "keep me"));
        for (const QString& name : {dead, live, strangers, QStringLiteral("other.part")})
            QVERIFY(writeFile(QDir(folder).filePath(name), "partial"));
        QVERIFY(QFile::link(victim, QDir(folder).filePath(deadLink)));
        // Another user's file (only root can make one here).
        const bool foreign =
            ::chown(QFile::encodeName(QDir(folder).filePath(strangers)).constData(), 4242, 4242) ==
            0;

        const QString frames = path(QStringLiteral("two.bgr"));
        QVERIFY(writeFile(frames, solidFrame(4, 4, 10, 20, 30).repeated(2)));
        const QString out = QDir(folder).filePath(QStringLiteral("new.bin"));
        CallbackRecord record;
        {
            StdoutCapture quiet;
            QCOMPARE(runSync(toJson(flatJob(frames, 4, 4, out, 2, 4, 2, 2, 2)), &record), 0);
        }
        QCOMPARE(record.failed, 0);
        QStringList expected {live, deadLink, QStringLiteral("new.bin"),
                              QStringLiteral("other.part")};
        if (foreign)
            expected << strangers;
        QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        std::sort(expected.begin(), expected.end());
        std::sort(left.begin(), left.end());
        QCOMPARE(left, expected);
        QCOMPARE(readFile(victim), QByteArray("keep me"));
    }
};

QTEST_GUILESS_MAIN(TestConvertOutput)
#include "tst_convert_output.moc"
