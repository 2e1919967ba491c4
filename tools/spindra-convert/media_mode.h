// The main mode of spindra-convert: a video or image becomes a fan file
// through the same media pipeline the window uses.
#pragma once

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

// Exit codes of the main mode.
enum MediaModeExit {
    MediaModeOk = 0,     // fan file written, its path printed last
    MediaModeFailed = 1, // unreadable media or a failed conversion
    MediaModeUsage = 2,  // bad command line: missing input, unknown model, bad number
};

// The options of the main mode, to add to the tool's parser.
QList<QCommandLineOption> mediaModeOptions();

// Converts the single positional argument of the parsed command line. A
// successful run prints the fan file's path on standard output, and with
// --verbose before it the job's lines, its progress and the engine's lines;
// a failure ends with one line "spindra-convert: <reason>" on standard
// error.
int runMediaMode(const QCommandLineParser& parser);
