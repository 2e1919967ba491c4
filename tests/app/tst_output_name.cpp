// The window's fan file names on a real file system: a name is taken from the
// stored counter and reserved in its folder, stepping over every name that
// is there (a fan file, a link, another run's reservation) and reusing the
// reservation of a run that has ended; a counter that cannot be stored is
// said and still never gives a name twice; a reservation is given back only
// while it is one. Two processes, each with a conversion controller on the
// same settings and output folder, converting at once, never share a name.
#include "OutputName.h"

#include <QDirIterator>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QByteArray kFanBytes(28800, 'f');

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The tag of a process that has ended (a child started and waited for).
QByteArray endedTag()
{
    QProcess p;
    p.start(QStringLiteral("true"), QStringList());
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return QByteArray::number(pid) + "-777";
}

QByteArray ownMark()
{
    char tag[64];
    return QByteArray("spindra reservation ") + QByteArray(engine_process_tag(tag, sizeof tag)) +
        '\n';
}

} // namespace

class TestOutputName : public QObject {
    Q_OBJECT

private slots:
    void init();
    void takesFreeNames_data();
    void takesFreeNames();
    void release_data();
    void release();
    void twoProcessesNeverShareAName();

private:
    QTemporaryDir dir;
    QString folder;
    QString settingsFile;
};

void TestOutputName::init()
{
    QVERIFY(dir.isValid());
    folder = dir.filePath(QStringLiteral("VEGA"));
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(folder));
    settingsFile = dir.filePath(QStringLiteral("config/names.conf"));
    QFile::remove(settingsFile);
}

void TestOutputName::takesFreeNames_data()
{
    QTest::addColumn<int>("stored");        // -1: no counter yet
    QTest::addColumn<QString>("planted");   // what is at planted name: fan, link, live, ended
    QTest::addColumn<QString>("plantedAt"); // that name
    QTest::addColumn<bool>("settingsBlocked");
    QTest::addColumn<bool>("inFolder"); // false: the number is only counted
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("next"); // the counter stored afterwards; -1: none can be
    QTest::newRow("fresh") << -1 << ""
                           << "" << false << true << "00_00000.bin" << 1;
    QTest::newRow("stored 7") << 7 << ""
                              << "" << false << true << "00_00007.bin" << 8;
    QTest::newRow("stored 99999") << 99999 << ""
                                  << "" << false << true << "00_99999.bin" << 100000;
    QTest::newRow("above 99999: from 0") << 100000 << ""
                                         << "" << false << true << "00_00000.bin" << 1;
    QTest::newRow("a fan file there: stepped over, kept")
        << 7 << "fan"
        << "00_00007.bin" << false << true << "00_00008.bin" << 9;
    QTest::newRow("a link there: stepped over, its target kept")
        << 7 << "link"
        << "00_00007.bin" << false << true << "00_00008.bin" << 9;
    QTest::newRow("a running job's reservation: stepped over")
        << 7 << "live"
        << "00_00007.bin" << false << true << "00_00008.bin" << 9;
    QTest::newRow("an ended run's reservation: removed, the name taken")
        << 7 << "ended"
        << "00_00007.bin" << false << true << "00_00007.bin" << 8;
    QTest::newRow("99999 taken: on from 0")
        << 99999 << "fan"
        << "00_99999.bin" << false << true << "00_00000.bin" << 1;
    QTest::newRow("counter not stored: an earlier session's file kept")
        << -1 << "fan"
        << "00_00000.bin" << true << true << "00_00001.bin" << -1;
    QTest::newRow("no folder: only counted") << 7 << ""
                                             << "" << false << false << "00_00007.bin" << 8;
}

void TestOutputName::takesFreeNames()
{
    QFETCH(int, stored);
    QFETCH(QString, planted);
    QFETCH(QString, plantedAt);
    QFETCH(bool, settingsBlocked);
    QFETCH(bool, inFolder);
    QFETCH(QString, name);
    QFETCH(int, next);

    if (settingsBlocked) {
        // A file where the settings folder should be: nothing can be stored
        // there, whoever runs the test.
        QVERIFY(writeFile(dir.filePath(QStringLiteral("blocked")), "a file"));
        settingsFile = dir.filePath(QStringLiteral("blocked/config/names.conf"));
    }
    if (stored >= 0) {
        QSettings s(settingsFile, QSettings::IniFormat);
        s.setValue(QStringLiteral("convert_index"), stored);
        s.sync();
        QCOMPARE(s.status(), QSettings::NoError);
    }
    const QString plantedPath = QDir(folder).filePath(plantedAt);
    const QString target = dir.filePath(QStringLiteral("target.txt"));
    QVERIFY(writeFile(target, "precious"));
    QByteArray plantedBytes;
    if (planted == QLatin1String("fan"))
        plantedBytes = kFanBytes;
    if (planted == QLatin1String("live"))
        plantedBytes = ownMark();
    if (planted == QLatin1String("ended"))
        plantedBytes = "spindra reservation " + endedTag() + '\n';
    if (planted == QLatin1String("link"))
        QVERIFY(QFile::link(target, plantedPath));
    else if (!planted.isEmpty())
        QVERIFY(writeFile(plantedPath, plantedBytes));

    QSettings settings(settingsFile, QSettings::IniFormat);
    QString problem;
    const NameReservation r = outputname::takeNumberedName(settings, inFolder ? folder : QString(),
                                                           QStringLiteral("00"), &problem);
    QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
    QCOMPARE(r.fileName, name);
    QCOMPARE(r.number, name.mid(3, 5));
    QCOMPARE(r.path, inFolder ? QDir(folder).filePath(name) : QString());
    if (inFolder)
        QCOMPARE(readAll(r.path), ownMark());
    else
        QVERIFY(QDir(folder).isEmpty());
    // Whatever was there before stays as it was, but an ended run's mark.
    if (planted == QLatin1String("link"))
        QCOMPARE(readAll(plantedPath), QByteArray("precious"));
    else if (!planted.isEmpty() && planted != QLatin1String("ended"))
        QCOMPARE(readAll(plantedPath), plantedBytes);
    QCOMPARE(readAll(target), QByteArray("precious"));

    QCOMPARE(problem.isEmpty(), next >= 0);
    if (next >= 0)
        QCOMPARE(QSettings(settingsFile, QSettings::IniFormat)
                     .value(QStringLiteral("convert_index"))
                     .toInt(),
                 next);
    else
        QVERIFY2(problem.startsWith(QStringLiteral("cannot store \"convert_index\" in ")),
                 qPrintable(problem));
}

void TestOutputName::release_data()
{
    QTest::addColumn<QString>("then"); // what happens to the reservation before it is given back
    QTest::addColumn<bool>("removed");
    QTest::newRow("still the reservation") << "nothing" << true;
    QTest::newRow("the fan file took its place") << "renamed over" << false;
    QTest::newRow("the fan file written into it") << "written into" << false;
    QTest::newRow("removed and the name taken by another file") << "replaced" << false;
}

void TestOutputName::release()
{
    QFETCH(QString, then);
    QFETCH(bool, removed);
    const QString path = QDir(folder).filePath(QStringLiteral("00_00003.bin"));
    NameReservation r;
    r.path = path;
    QCOMPARE(outputname::reserveFile(path, &r.id), 0);
    QCOMPARE(outputname::reserveFile(path, nullptr), EEXIST);
    const QString made = dir.filePath(QStringLiteral("made.bin"));
    if (then == QLatin1String("renamed over")) {
        QVERIFY(writeFile(made, kFanBytes));
        QVERIFY(::rename(QFile::encodeName(made).constData(),
                         QFile::encodeName(path).constData()) == 0);
    } else if (then == QLatin1String("written into")) {
        QVERIFY(writeFile(path, kFanBytes));
    } else if (then == QLatin1String("replaced")) {
        QVERIFY(QFile::remove(path));
        QVERIFY(writeFile(path, ownMark()));
    }
    QCOMPARE(outputname::release(r), removed);
    QCOMPARE(QFileInfo::exists(path), !removed);
}

void TestOutputName::twoProcessesNeverShareAName()
{
    // Each process is a controller that has read the counter as a window
    // does when it opens; then both convert at once: four files each, and a
    // fifth whose input is missing, which gives its name back.
    const QString helper = QStringLiteral(SPINDRA_BINARY_DIR "/tests/app/convert_names");
    const QString config = dir.filePath(QStringLiteral("shared-config"));
    const QString out = dir.filePath(QStringLiteral("shared-out"));
    const QString go = dir.filePath(QStringLiteral("go"));
    QVERIFY(QDir().mkpath(out));
    QProcess a, b;
    for (QProcess* p : {&a, &b}) {
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(helper, {config, out, go, QStringLiteral("4")});
        QVERIFY2(p->waitForStarted(), qPrintable(p->errorString()));
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        QFile::exists(config + QStringLiteral("/ready-%1").arg(a.processId())) &&
            QFile::exists(config + QStringLiteral("/ready-%1").arg(b.processId())),
        30000);
    QVERIFY(writeFile(go, "go"));
    QStringList paths;
    for (QProcess* p : {&a, &b}) {
        QVERIFY(p->waitForFinished(60000));
        QCOMPARE(p->exitCode(), 0);
        paths << QString::fromUtf8(p->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }
    QCOMPARE(paths.size(), 8);
    QCOMPARE(QSet<QString>(paths.begin(), paths.end()).size(), 8);
    QStringList files;
    QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files << it.next();
        QVERIFY2(it.fileInfo().size() > 28800 - 1, qPrintable(it.filePath()));
    }
    files.sort();
    paths.sort();
    QCOMPARE(files, paths);
}

QTEST_GUILESS_MAIN(TestOutputName)
#include "tst_output_name.moc"
