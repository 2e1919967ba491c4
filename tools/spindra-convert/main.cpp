// spindra-convert: command-line front end of the conversion.
//
//   spindra-convert INPUT [options]   convert a video or image into a fan file
//                                     through the media pipeline
//   spindra-convert --job JOB.json    run one engine job from a job description
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include "job_mode.h"
#include "media_mode.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("spindra-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION_TEXT));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Converts a video or image into a fan file."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("INPUT"),
                                 QStringLiteral("The video or image to convert."));
    const QCommandLineOption jobOption(
        QStringLiteral("job"),
        QStringLiteral("Run one engine job from the job description <file>."),
        QStringLiteral("file"));
    parser.addOption(jobOption);
    parser.addOptions(mediaModeOptions());

    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "spindra-convert: %s\n", qPrintable(parser.errorText()));
        return MediaModeUsage;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        std::fprintf(stdout, "%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::fprintf(stdout, "spindra-convert %s\n", PROJECT_VERSION_TEXT);
        return 0;
    }
    if (parser.isSet(jobOption))
        return runJobMode(parser.value(jobOption));

    return runMediaMode(parser);
}
