// The job mode of spindra-convert: runs one engine job from a job
// description file.
#pragma once

#include <QString>

// Exit codes of the job mode.
enum JobModeExit {
    JobModeOk = 0,      // the engine reported success
    JobModeFailed = 1,  // the engine ran the job and reported failure
    JobModeRefused = 2, // the job never ran: unreadable file or an entry code
};

// Reads jobFile (a JSON job description), hands it to convert_start, waits for
// the engine's callback and returns a JobModeExit code. The engine's own log
// lines go to standard output; the tool's messages to standard error.
int runJobMode(const QString& jobFile);
