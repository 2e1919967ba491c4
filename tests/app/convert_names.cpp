// One instance of the conversion workflow for tst_output_name: a conversion
// controller on the stand-in pipeline, with the settings store in CONFIG and
// the fan files in OUT, as a window opened there would have. Once it has read
// the counter it says so (CONFIG/ready-<pid>) and waits for the file GO; then
// it converts COUNT images one after another, and one input that does not
// exist (which fails), and prints the path of every fan file it made.
//
//   convert_names CONFIG OUT GO COUNT
#include "ConnectionManager.h"
#include "ConversionController.h"
#include "FakePipeline.h"
#include "Settings.h"
#include "Uploader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QThread>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: convert_names CONFIG OUT GO COUNT\n");
        return 2;
    }
    const QString config = args.at(1);
    const QString out = args.at(2);
    const QString go = args.at(3);
    const int count = args.at(4).toInt();
    QDir().mkpath(config);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);

    // Nothing listens on the discard port of loopback: never connected.
    DeviceEndpoint nobody;
    nobody.host = QStringLiteral("127.0.0.1");
    nobody.httpPort = 9;
    nobody.wsPort = 9;
    ConnectionTiming timing;
    timing.checkPeriodMs = 3600 * 1000;
    ConnectionManager connection(nobody, timing);
    Uploader uploader(nobody);
    ConversionController controller(&connection, &uploader, std::make_unique<FakePipeline>());
    // What a window reads as it opens.
    QSettings(QLatin1String(Settings::Organisation), QLatin1String(Settings::Application))
        .value(QLatin1String(Settings::ConvertIndex));
    QFile ready(QDir(config).filePath(QStringLiteral("ready-%1").arg(app.applicationPid())));
    if (!ready.open(QIODevice::WriteOnly))
        return 3;
    ready.close();
    while (!QFile::exists(go))
        QThread::msleep(5);

    const QString input =
        QDir(config).filePath(QStringLiteral("input-%1.png").arg(app.applicationPid()));
    QFile image(input);
    if (!image.open(QIODevice::WriteOnly))
        return 3;
    image.close();
    int left = count + 1;
    QObject::connect(&controller, &ConversionController::jobFinished, &app,
                     [&](int, JobOutcome outcome, const QString& path, const QString&) {
                         if (outcome == JobOutcome::Succeeded)
                             std::printf("%s\n", QFile::encodeName(path).constData());
                         if (--left == 0)
                             app.quit();
                     });
    for (int i = 0; i <= count; ++i) {
        ConvertRequest r;
        r.media.isVideo = false;
        r.media.inputPath = i == count ? input + QStringLiteral(".missing") : input;
        r.media.outputDir = out;
        r.modelName = QStringLiteral("VEGA");
        r.lights = 116;
        r.lines = 520;
        r.colorDeep = 6;
        controller.enqueue(r);
    }
    const int rc = app.exec();
    QFile::remove(input);
    return rc;
}
