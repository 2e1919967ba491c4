// spindra-convert: command-line front end of the conversion engine.
//
//   spindra-convert --job JOB.json    run one engine job from a job description
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include "job_mode.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("spindra-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION_TEXT));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Converts media into fan files."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption jobOption(QStringLiteral("job"),
                                       QStringLiteral("Run one engine job from the job description <file>."),
                                       QStringLiteral("file"));
    parser.addOption(jobOption);
    parser.process(app);

    if (parser.isSet(jobOption))
        return runJobMode(parser.value(jobOption));

    std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
    return 2;
}
