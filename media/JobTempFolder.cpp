#include "JobTempFolder.h"

#include "platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kJobPrefix[] = "job-";

// Deeper than any job folder gets; a tree deeper than this is not ours.
constexpr int kMaxDepth = 32;

QString errorText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// Removes entry `name` of the folder open as `parent`: a folder (never a
// link to one) with everything in it, anything else (a link too) as itself.
bool removeEntry(int parent, const char* name, int depth)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        if (errno == ENOTDIR || errno == ELOOP)
            return ::unlinkat(parent, name, 0) == 0 || errno == ENOENT;
        return false;
    }
    if (depth >= kMaxDepth) {
        ::close(fd);
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    for (dirent* e = ::readdir(dir); e; e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        ok = removeEntry(::dirfd(dir), e->d_name, depth + 1) && ok;
    }
    ::closedir(dir);
    return (::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT) && ok;
}

// Makes `path` a private folder of this user: created with mode 0700 when
// missing, narrowed to 0700 when it is this user's with a wider mode. False
// (with *why) when it is a link, not a folder, or someone else's.
bool ensurePrivate(const QString& path, QString* why)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        *why = errorText(errno);
        return false;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *why = errno == ELOOP || errno == ENOTDIR ? QStringLiteral("not a folder of its own")
                                                  : errorText(errno);
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        *why = errorText(errno);
    } else if (st.st_uid != ::geteuid()) {
        *why = QStringLiteral("it belongs to another user");
        ok = false;
    } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        *why = errorText(errno);
        ok = false;
    }
    ::close(fd);
    return ok;
}

} // namespace

QString JobTempFolder::userFolder(QString* error)
{
    const QString primary = QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
        QStringLiteral("/spindra-%1").arg(::geteuid());
    QString why;
    if (ensurePrivate(primary, &why))
        return primary;
    qWarning().noquote() << "not using" << primary << "for temporary files:" << why;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
        QStringLiteral("/spindra");
    const QString fallback = cache + QStringLiteral("/tmp");
    QString fallbackWhy;
    if (QDir().mkpath(cache) && ensurePrivate(fallback, &fallbackWhy))
        return fallback;
    if (error)
        *error =
            QStringLiteral("no private folder for temporary files: %1 (%2), %3 (%4)")
                .arg(primary, why, fallback,
                     fallbackWhy.isEmpty() ? QStringLiteral("cannot be created") : fallbackWhy);
    return QString();
}

int JobTempFolder::removeEnded(const QString& userFolder)
{
    const int fd = ::open(QFile::encodeName(userFolder).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    int removed = 0;
    for (dirent* e = ::readdir(dir); e; e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, kJobPrefix, sizeof kJobPrefix - 1) != 0)
            continue;
        const char* end = nullptr;
        if (engine_process_tag_alive(e->d_name + sizeof kJobPrefix - 1, &end) != 0 || !end ||
            *end != '-')
            continue;
        if (removeEntry(::dirfd(dir), e->d_name, 0)) {
            qInfo().noquote() << "removed"
                              << userFolder + QLatin1Char('/') + QFile::decodeName(e->d_name)
                              << "left by an ended job";
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

bool JobTempFolder::removeTree(const QString& path)
{
    if (path.isEmpty())
        return true;
    const QByteArray name = QFile::encodeName(path);
    const char* slash = std::strrchr(name.constData(), '/');
    const QByteArray parent = !slash ? QByteArray(".")
        : slash == name.constData()  ? QByteArray("/")
                                     : name.left(int(slash - name.constData()));
    const QByteArray base = slash ? QByteArray(slash + 1) : name;
    if (base.isEmpty() || base == "." || base == "..")
        return false;
    const int fd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    const bool ok = removeEntry(fd, base.constData(), 0);
    ::close(fd);
    return ok;
}

JobTempFolder::JobTempFolder()
{
    const QString user = userFolder(&failure);
    if (user.isEmpty())
        return;
    removeEnded(user);
    char tag[64];
    engine_process_tag(tag, sizeof tag);
    QByteArray pattern = QFile::encodeName(user);
    pattern += '/';
    pattern += kJobPrefix;
    pattern += tag;
    pattern += "-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        failure = QStringLiteral("cannot create a temporary folder in %1: %2")
                      .arg(user, errorText(errno));
        return;
    }
    folder = QFile::decodeName(pattern);
}

JobTempFolder::~JobTempFolder() { remove(); }

QString JobTempFolder::filePath(const QString& name) const
{
    return folder + QLatin1Char('/') + name;
}

void JobTempFolder::remove()
{
    if (folder.isEmpty())
        return;
    if (!removeTree(folder))
        qWarning().noquote() << "cannot remove the temporary folder" << folder;
    folder.clear();
}
