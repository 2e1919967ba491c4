#include "interrupt_cleanup.h"

#include <QFile>

#include <csignal>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// Filled before the handlers are installed and never changed afterwards, so
// the handler only reads prepared C strings.
std::vector<std::string> g_files;
std::string g_folder;

extern "C" void onInterrupt(int sig)
{
    for (const std::string& f : g_files)
        unlink(f.c_str());
    if (!g_folder.empty())
        rmdir(g_folder.c_str());
    // The handler was installed with SA_RESETHAND: the signal, delivered again
    // once this handler returns, ends the process the usual way.
    raise(sig);
}

} // namespace

void removeOnInterrupt(const QStringList& files, const QString& folder)
{
    g_files.clear();
    for (const QString& f : files)
        g_files.push_back(QFile::encodeName(f).toStdString());
    g_folder = QFile::encodeName(folder).toStdString();

    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
}
