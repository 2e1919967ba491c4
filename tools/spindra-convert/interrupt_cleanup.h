// Ends a conversion cleanly when spindra-convert is interrupted (Ctrl+C,
// SIGTERM, hang-up): the running job is cancelled, so that the engine removes
// its unfinished fan file (an earlier file at the same path stays as it was)
// and the job its temporary folder, and the process then ends by the same
// signal. Should the job not end within a few seconds, the process ends
// anyway; what it leaves is removed by the next conversion (see
// JobTempFolder and the engine's temporary output names).
#pragma once

#include <functional>

// Installs handlers for SIGINT, SIGTERM and SIGHUP that call `cancel` (on a
// thread of their own, never inside the signal handler). Call once, before
// the job starts.
void cancelOnInterrupt(std::function<void()> cancel);

// After the job has ended: when it ended because of a signal, ends the
// process by that signal; otherwise returns.
void endIfInterrupted();
