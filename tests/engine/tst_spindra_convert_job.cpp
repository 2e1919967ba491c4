// spindra-convert --job: runs the built tool and checks its exit codes and
// the file it writes.
#include <QtTest>

#include <QProcess>
#include <QProcessEnvironment>

#include "engine_test_support.h"

using namespace enginetest;

class TestSpindraConvertJob : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString convertTool;
    QString path(const QString& name) const { return tempDir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(tempDir.isValid());
        QString binary = qEnvironmentVariable("SPINDRA_BINARY_DIR");
        if (binary.isEmpty())
            binary = QStringLiteral(SPINDRA_BINARY_DIR);
        convertTool = binary + QStringLiteral("/tools/spindra-convert/spindra-convert");
        QVERIFY2(QFileInfo(convertTool).isExecutable(), qPrintable(convertTool));
    }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stdoutHas");
        QTest::addColumn<QString>("stderrHas");
        QTest::newRow("converted") << "ok" << 0 << "[MEDIA] >> finish"
                                   << "wrote";
        // The reason of a failure follows on standard error.
        QTest::newRow("job failed") << "failing" << 1 << "[MEDIA] open in /nonexistent/v.bgr failed"
                                    << "failed: " + path(QStringLiteral("out.bin")) +
                ": cannot read /nonexistent/v.bgr: No such file or directory";
        QTest::newRow("not JSON") << "garbage" << 2 << "[MEDIA] parse json failed"
                                  << "return code 2";
        QTest::newRow("360 without list") << "nolist" << 2 << "[MEDIA] parse json list failed"
                                          << "return code 3";
        QTest::newRow("no job file") << "nofile" << 2 << ""
                                     << "cannot read the job file";
    }
    void exitCodes()
    {
        QFETCH(QString, kind);
        QFETCH(int, exitCode);
        QFETCH(QString, stdoutHas);
        QFETCH(QString, stderrHas);
        const int frames = 7, size = 10, lights = 5, lines = 30, deep = 6;
        QVERIFY(writeFile(path(QStringLiteral("v.bgr")),
                          solidFrame(size, size, 40, 120, 240).repeated(frames)));
        const QString out = path(QStringLiteral("out.bin"));
        QFile::remove(out);
        QByteArray json;
        if (kind == QLatin1String("ok"))
            json = toJson(
                flatJob(path(QStringLiteral("v.bgr")), size, size, out, lights, lines, deep, 5, 5));
        else if (kind == QLatin1String("failing"))
            json = toJson(flatJob(QStringLiteral("/nonexistent/v.bgr"), size, size, out, lights,
                                  lines, deep, 5, 5));
        else if (kind == QLatin1String("garbage"))
            json = "not a job";
        else if (kind == QLatin1String("nolist"))
            json = "{\"is_360\": true, \"out_path\": \"x.bin\"}";
        const QString jobFile = path(kind == QLatin1String("nofile") ? QStringLiteral("absent.json")
                                                                     : QStringLiteral("job.json"));
        if (kind != QLatin1String("nofile"))
            QVERIFY(writeFile(jobFile, json));

        QProcess tool;
        tool.start(convertTool, {QStringLiteral("--job"), jobFile});
        QVERIFY(tool.waitForFinished(60000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        const QString out1 = QString::fromUtf8(tool.readAllStandardOutput());
        const QString err1 = QString::fromUtf8(tool.readAllStandardError());
        QVERIFY2(tool.exitCode() == exitCode, qPrintable(out1 + err1));
        QVERIFY2(out1.contains(stdoutHas), qPrintable(out1));
        QVERIFY2(err1.contains(stderrHas), qPrintable(err1));
        if (exitCode == 0) {
            // 812 + n x F, padded to a multiple of 28800.
            const qint64 record = qint64(lines) * deep * 2 + 1600;
            const qint64 raw = 812 + frames * record;
            QCOMPARE(QFileInfo(out).size(), (raw + 28799) / 28800 * 28800);
            QCOMPARE(decodeFile(out, lines, lights, deep).framesMin, quint64(frames));
        }
    }
};

QTEST_GUILESS_MAIN(TestSpindraConvertJob)
#include "tst_spindra_convert_job.moc"
