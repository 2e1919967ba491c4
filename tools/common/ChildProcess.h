// A QProcess whose child ends when this process does, however it ends.
//
// The fan simulator started by a test or the soak must never outlive it: a
// test that crashes, or that a sanitizer stops at its first report, would
// otherwise leave the simulator running on its ports, holding the output
// pipe that ctest waits on until the test's time-out. On Linux the child asks
// the kernel for SIGKILL when its parent goes; elsewhere this is a plain
// QProcess.
#pragma once

#include <QProcess>

#ifdef __linux__
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

class ChildProcess : public QProcess {
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override
    {
#ifdef __linux__
        // Runs in the child between fork and exec. The signal follows the
        // thread that forked; QProcess forks on the thread that calls start,
        // the main thread of every caller here.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have gone before the request was made.
        if (getppid() == 1)
            _exit(1);
#endif
    }
};
