#include "interrupt_cleanup.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler only writes the signal's number into this pipe; the watcher
// thread does the rest.
int g_pipe[2] = {-1, -1};
std::atomic<int> g_signal {0};
std::function<void()> g_cancel;

// How long a cancelled job may take to clean up before the process ends
// regardless.
constexpr auto kGrace = std::chrono::seconds(10);

extern "C" void onInterrupt(int sig)
{
    const unsigned char byte = static_cast<unsigned char>(sig);
    const ssize_t written = ::write(g_pipe[1], &byte, 1);
    (void)written;
}

void endBySignal(int sig)
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

void watch()
{
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) != 1) { }
    g_signal.store(byte);
    if (g_cancel)
        g_cancel();
    std::this_thread::sleep_for(kGrace);
    endBySignal(byte);
}

} // namespace

void cancelOnInterrupt(std::function<void()> cancel)
{
    if (::pipe2(g_pipe, O_CLOEXEC) != 0)
        return;
    g_cancel = std::move(cancel);
    std::thread(watch).detach();
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
}

void endIfInterrupted()
{
    const int sig = g_signal.load();
    if (sig != 0)
        endBySignal(sig);
}
