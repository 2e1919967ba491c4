// Broken media and broken surroundings, through spindra-convert and through
// the job builder (bad_media_job): empty, mislabelled, truncated and
// video-less files, extreme picture sizes, awkward path names, an output
// folder that cannot be written, a full temporary folder and an input that
// disappears while it is being decoded.
//
// Every case runs in a sandbox with its own temporary folder (TMPDIR) and
// home, and must end cleanly: success with a readable fan file, or a clear
// failure (the converter's one-line reason, onResult(false, ...) exactly once);
// never a crash; no temporary file left; nothing in the sandbox touched outside
// the output and temporary folders. A failure, and a file that went to the
// Desktop instead, say why in the system's words. The read-only and full
// folders are mounted in a private mount namespace (unshare -m as root, with
// a user namespace of its own otherwise); the cases are skipped with a
// message where that is not allowed. A folder whose mode forbids writing
// cannot stop root: that case is skipped as root (the read-only mounts
// cover it there).
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "fan_file.h"
#include "fan_models.h"

namespace {

enum class Setting {
    Plain,
    ReadOnlyOut,     // the output folder is a read-only file system
    ReadOnlyModel,   // the model folder is there, on a read-only file system
    FullOut,         // the output folder is a full file system
    NoPermissionOut, // the output folder's mode forbids writing
    ReadOnlyHome,    // no output folder chosen (the Desktop) and a read-only home
    FullTemp,
    InputDeleted,
    SoundFailsQuietly // FFmpeg fails without a word whenever it decodes sound
};
enum class Outcome {
    Fails,            // a clear failure
    Succeeds,         // a readable fan file in the output folder
    SucceedsOnDesktop // the job builder's fallback for a model folder it cannot make or write
};

const char kWeirdName[] = "-a 'b' \"c\" é 视频.mp4";

QString binaryDir()
{
    return qEnvironmentVariable("SPINDRA_BINARY_DIR", QStringLiteral(SPINDRA_BINARY_DIR));
}

bool run(const QString& program, const QStringList& args, const QString& workDir = QString(),
         QByteArray* out = nullptr, int timeoutMs = 60000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    const bool ok =
        p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out)
        *out = p.readAll();
    return ok;
}

// path -> "size mtime" of every file and folder under root, except under the
// excluded folders.
QMap<QString, QString> snapshot(const QString& root, const QStringList& excluded)
{
    QMap<QString, QString> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        bool skip = false;
        for (const QString& e : excluded)
            skip = skip || path == e || path.startsWith(e + QLatin1Char('/'));
        if (skip)
            continue;
        // A folder's time changes with its entries; the entries are compared.
        const QFileInfo fi = it.fileInfo();
        files.insert(path,
                     fi.isDir() ? QStringLiteral("folder")
                                : QStringLiteral("%1 bytes, %2")
                                      .arg(fi.size())
                                      .arg(fi.lastModified().toMSecsSinceEpoch()));
    }
    return files;
}

QStringList filesUnder(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

} // namespace

Q_DECLARE_METATYPE(Setting)
Q_DECLARE_METATYPE(Outcome)

class BadMedia : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cases_data();
    void cases();

private:
    QTemporaryDir sources;
    bool canMount = false;
    QStringList unshare; // the unshare options that give a private mount namespace
};

void BadMedia::initTestCase()
{
    QVERIFY(sources.isValid());
    const QString s = sources.path();
    const auto ff = [&](const QStringList& args) {
        QByteArray out;
        const bool ok =
            run(QStringLiteral("ffmpeg"), QStringList {"-v", "error", "-y"} + args, s, &out);
        if (!ok)
            qWarning("%s", out.constData());
        return ok;
    };
    QVERIFY(ff({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=20", "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=32000", "-t", "2", "-c:v", "mpeg4", "-c:a", "aac",
                "clip.mp4"}));
    QVERIFY(ff({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=32000", "-t", "2", "-c:a",
                "aac", "audio_only.mp4"}));
    QVERIFY(ff({"-f", "lavfi", "-i", "color=c=red:s=2x2", "-vf", "scale=1:1", "-frames:v", "1",
                "tiny.png"}));
    QVERIFY(ff({"-f", "lavfi", "-i", "testsrc=size=4000x3000", "-frames:v", "1", "big.png"}));

    QFile clip(s + QStringLiteral("/clip.mp4"));
    QVERIFY(clip.open(QIODevice::ReadOnly));
    const QByteArray bytes = clip.readAll();
    QFile cut(s + QStringLiteral("/truncated.mp4"));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write(bytes.left(bytes.size() * 2 / 5));
    cut.close();
    QFile zero(s + QStringLiteral("/zero.mp4"));
    QVERIFY(zero.open(QIODevice::WriteOnly));
    zero.close();
    QFile text(s + QStringLiteral("/text.mp4"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("this is not a video\n");
    text.close();
    QVERIFY(QFile::copy(s + QStringLiteral("/clip.mp4"),
                        s + QLatin1Char('/') + QString::fromUtf8(kWeirdName)));

    // FFmpeg stand-in that deletes the input once the frames are decoded,
    // just before the sound is read.
    QFile wrapper(s + QStringLiteral("/ffmpeg-deleting"));
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    wrapper.write(
        "#!/bin/sh\n"
        "prev=\nvn=0\nin=\n"
        "for a in \"$@\"; do [ \"$prev\" = -i ] && in=$a; [ \"$a\" = -vn ] && vn=1; prev=$a; done\n"
        "[ $vn = 1 ] && rm -f -- \"$in\"\n"
        "exec ffmpeg \"$@\"\n");
    wrapper.close();
    QVERIFY(wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // FFmpeg stand-in that fails without a word on any command that decodes
    // sound, as an FFmpeg whose report was cut short under load.
    QFile quiet(s + QStringLiteral("/ffmpeg-quiet-sound"));
    QVERIFY(quiet.open(QIODevice::WriteOnly));
    quiet.write("#!/bin/sh\n"
                "for a in \"$@\"; do [ \"$a\" = -vn ] && exit 1; done\n"
                "exec ffmpeg \"$@\"\n");
    quiet.close();
    QVERIFY(quiet.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QByteArray out;
    for (const QStringList& options : {QStringList {"-m"}, QStringList {"-r", "-m"}}) {
        canMount = run(QStringLiteral("unshare"),
                       options + QStringList {"sh", "-c", "mount -t tmpfs -o size=64k tmpfs /mnt"},
                       QString(), &out);
        if (canMount) {
            unshare = options;
            break;
        }
    }
    if (!canMount)
        qWarning(
            "no private mount namespace here (%s); the read-only and full-folder cases are skipped",
            out.trimmed().constData());
}

void BadMedia::cases_data()
{
    QTest::addColumn<bool>("tool"); // through spindra-convert, else through the job builder
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("video"); // what the job builder is told
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<Setting>("setting");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("reason"); // what the failure or the fallback says, when checked

    struct Row {
        const char* name;
        QString input;
        bool video;
        int w, h;
        Setting setting;
        bool succeeds;
        QString reason = QString(); // checked when set
    };
    const QString weird = QString::fromUtf8(kWeirdName);
    const Row rows[] = {
        {"zero-byte file", "zero.mp4", true, 64, 48, Setting::Plain, false},
        {"text file named .mp4", "text.mp4", true, 64, 48, Setting::Plain, false},
        {"truncated clip", "truncated.mp4", true, 64, 48, Setting::Plain, false},
        {"clip without video", "audio_only.mp4", true, 64, 48, Setting::Plain, false},
        {"1 x 1 image", "tiny.png", false, 1, 1, Setting::Plain, true},
        {"4000 x 3000 image", "big.png", false, 4000, 3000, Setting::Plain, true},
        {"spaces, quotes, non-ASCII, leading dash", weird, true, 64, 48, Setting::Plain, true},
        {"output folder read-only", "clip.mp4", true, 64, 48, Setting::ReadOnlyOut, false,
         "Read-only file system"},
        {"model folder there, read-only", "clip.mp4", true, 64, 48, Setting::ReadOnlyModel, false,
         "Read-only file system"},
        {"output folder full", "clip.mp4", true, 64, 48, Setting::FullOut, false,
         "No space left on device"},
        {"output folder not writable", "clip.mp4", true, 64, 48, Setting::NoPermissionOut, false,
         "Permission denied"},
        {"no output folder, home read-only", "clip.mp4", true, 64, 48, Setting::ReadOnlyHome, false,
         "Read-only file system"},
        {"temporary folder full", "clip.mp4", true, 64, 48, Setting::FullTemp, false},
        {"input deleted while decoding", "clip.mp4", true, 64, 48, Setting::InputDeleted, false},
        // The clip has sound: its sound failing is the job failing, never a
        // silent fan file.
        {"sound fails without a report", "clip.mp4", true, 64, 48, Setting::SoundFailsQuietly,
         false},
    };
    for (const bool tool : {true, false}) {
        for (const Row& r : rows) {
            Outcome outcome = r.succeeds ? Outcome::Succeeds : Outcome::Fails;
            // The window's pipeline writes to the Desktop when the model
            // folder cannot be created or written; the tool refuses instead.
            if (!tool &&
                (r.setting == Setting::ReadOnlyOut || r.setting == Setting::ReadOnlyModel ||
                 r.setting == Setting::NoPermissionOut))
                outcome = Outcome::SucceedsOnDesktop;
            // The home is the window's business (its Desktop).
            if (tool && r.setting == Setting::ReadOnlyHome)
                continue;
            QTest::addRow("%s: %s", tool ? "spindra-convert" : "job builder", r.name)
                << tool << r.input << r.video << r.w << r.h << r.setting << outcome << r.reason;
        }
    }
}

void BadMedia::cases()
{
    QFETCH(bool, tool);
    QFETCH(QString, input);
    QFETCH(bool, video);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(Setting, setting);
    QFETCH(Outcome, outcome);
    QFETCH(QString, reason);
    const bool succeeds = outcome != Outcome::Fails;

    const bool mounts = setting == Setting::ReadOnlyOut || setting == Setting::ReadOnlyModel ||
        setting == Setting::FullOut || setting == Setting::ReadOnlyHome ||
        setting == Setting::FullTemp;
    if (mounts && !canMount)
        QSKIP("needs a private mount namespace (unshare -m)");
    if (setting == Setting::NoPermissionOut && ::geteuid() == 0)
        QSKIP("a folder's mode does not stop root from writing (the read-only mounts cover it)");

    QTemporaryDir box;
    QVERIFY(box.isValid());
    const QString media = box.filePath(QStringLiteral("media"));
    const QString outDir = box.filePath(QStringLiteral("out"));
    const QString tmp = box.filePath(QStringLiteral("tmp"));
    const QString home = box.filePath(QStringLiteral("home"));
    for (const QString& d : {media, outDir, tmp, home})
        QVERIFY(QDir().mkpath(d));
    QVERIFY(QFile::copy(sources.filePath(input), media + QLatin1Char('/') + input));
    const QString inputPath = media + QLatin1Char('/') + input;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    if (setting == Setting::InputDeleted)
        env.insert(QStringLiteral("SPINDRA_FFMPEG"),
                   sources.filePath(QStringLiteral("ffmpeg-deleting")));
    if (setting == Setting::SoundFailsQuietly)
        env.insert(QStringLiteral("SPINDRA_FFMPEG"),
                   sources.filePath(QStringLiteral("ffmpeg-quiet-sound")));

    QString program;
    QStringList args;
    if (tool) {
        program = binaryDir() + QStringLiteral("/tools/spindra-convert/spindra-convert");
        // Relative, after "--", so that a leading dash stays a file name.
        args = QStringList {"--out", outDir, "--", input};
    } else {
        program = binaryDir() + QStringLiteral("/tests/hostile/bad_media_job");
        // The window's output folder when none is chosen: the Desktop.
        const QString out =
            setting == Setting::ReadOnlyHome ? home + QStringLiteral("/Desktop") : outDir;
        args = QStringList {input, out, video ? "1" : "0", QString::number(width),
                            QString::number(height)};
    }
    if (setting == Setting::NoPermissionOut)
        QVERIFY(QFile::setPermissions(outDir, QFile::ReadOwner | QFile::ExeOwner));
    const auto writable = qScopeGuard([&] {
        QFile::setPermissions(outDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    // The model folder is there (made now, so that it is no change of the
    // job's); the job finds it on a read-only file system.
    if (setting == Setting::ReadOnlyModel)
        QVERIFY(QDir().mkpath(outDir + QStringLiteral("/VEGA")));
    if (mounts) {
        const QString mount = setting == Setting::ReadOnlyOut
            ? QStringLiteral("mount -t tmpfs -o ro,size=64k tmpfs \"$OUT\"")
            : setting == Setting::ReadOnlyModel
            ? QStringLiteral("mount --bind \"$OUT\" \"$OUT\" && mount -o remount,bind,ro \"$OUT\"")
            : setting == Setting::FullOut
            ? QStringLiteral("mount -t tmpfs -o size=8k tmpfs \"$OUT\"")
            : setting == Setting::ReadOnlyHome
            ? QStringLiteral("mount -t tmpfs -o ro,size=64k tmpfs \"$HOME\"")
            : QStringLiteral("mount -t tmpfs -o size=48k tmpfs \"$TMPDIR\"");
        env.insert(QStringLiteral("OUT"), outDir);
        args = unshare +
            QStringList {"sh", "-c", mount + QStringLiteral(" && exec \"$@\""), "sh", program} +
            args;
        program = QStringLiteral("unshare");
    }

    const QMap<QString, QString> before = snapshot(box.path(), {outDir, tmp, inputPath});

    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(media);
    p.start(program, args);
    QVERIFY(p.waitForStarted(10000));
    QVERIFY2(p.waitForFinished(240000), "the conversion did not end");
    const QByteArray stdoutText = p.readAllStandardOutput();
    const QByteArray stderrText = p.readAllStandardError();
    const auto context = [&]() {
        return QStringLiteral("exit %1\n--- stdout\n%2\n--- stderr\n%3")
            .arg(p.exitCode())
            .arg(QString::fromUtf8(stdoutText.right(3000)),
                 QString::fromUtf8(stderrText.right(3000)));
    };
    QVERIFY2(p.exitStatus() == QProcess::NormalExit, qPrintable(context()));
    QVERIFY2(p.exitCode() == (succeeds ? 0 : 1), qPrintable(context()));

    const QStringList outLines =
        QString::fromUtf8(stdoutText).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QString desktopFile;
    if (succeeds) {
        QVERIFY2(!outLines.isEmpty(), qPrintable(context()));
        const QString path = tool ? outLines.last() : outLines.last().section(QLatin1Char(' '), 2);
        if (!tool)
            QVERIFY2(outLines.last().startsWith(QLatin1String("result ok ")),
                     qPrintable(context()));
        const QString where =
            outcome == Outcome::SucceedsOnDesktop ? home + QStringLiteral("/Desktop") : outDir;
        QVERIFY2(path.startsWith(where + QLatin1Char('/')), qPrintable(context()));
        if (outcome == Outcome::SucceedsOnDesktop)
            desktopFile = path;
        const fan_model* m = fan_model_at(0);
        fan_file f;
        const int rc = fan_file_open(&f, QFile::encodeName(path).constData(), uint32_t(m->lines),
                                     uint32_t(m->lights), uint32_t(m->colorDeep));
        QVERIFY2(rc == FAN_FILE_OK, fan_file_status_text(rc));
        QVERIFY(f.frame_count >= 1);
        fan_file_close(&f);
    } else if (tool) {
        // One clear line says why, and it is the last thing on standard error.
        const QStringList errLines =
            QString::fromUtf8(stderrText).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(!errLines.isEmpty(), qPrintable(context()));
        QVERIFY2(errLines.last().startsWith(QLatin1String("spindra-convert: ")),
                 qPrintable(context()));
        QCOMPARE(errLines.filter(QStringLiteral("spindra-convert: ")).size(), 1);
        qInfo("%s", qPrintable(errLines.last()));
        QVERIFY2(errLines.last().contains(reason), qPrintable(context()));
    } else {
        QVERIFY2(!outLines.isEmpty() && outLines.last().startsWith(QLatin1String("result failed ")),
                 qPrintable(context()));
    }
    // The job builder says why it failed, or why the file went elsewhere.
    if (!tool && !reason.isEmpty()) {
        const QString said = outLines.size() >= 2 ? outLines.at(outLines.size() - 2) : QString();
        QVERIFY2(said.startsWith(QLatin1String(succeeds ? "fallback: " : "reason: ")) &&
                     said.contains(reason),
                 qPrintable(context()));
    }

    // No temporary file is left behind, and nothing outside the output and
    // temporary folders has changed.
    QVERIFY2(filesUnder(tmp).isEmpty(), qPrintable(filesUnder(tmp).join(QLatin1Char('\n'))));
    QMap<QString, QString> after = snapshot(box.path(), {outDir, tmp, inputPath});
    if (!desktopFile.isEmpty()) {
        QVERIFY(after.remove(desktopFile) == 1);
        after.remove(home + QStringLiteral("/Desktop"));
    }
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(BadMedia)
#include "tst_bad_media.moc"
