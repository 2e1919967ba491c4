#include "OutputName.h"

#include "Settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSettings>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace outputname {

namespace {

// What a reservation holds until the fan file replaces it: this mark and
// the process tag (engine_process_tag), one line.
const char kMark[] = "spindra reservation ";
// Longer than any mark.
constexpr qint64 kMarkRoom = 128;

// How long an instance waits for another that takes a number.
constexpr int kLockWaitMs = 5000;

QString errorText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

QByteArray markOfThisProcess()
{
    char tag[64];
    engine_process_tag(tag, sizeof tag);
    return QByteArray(kMark) + QByteArray(tag) + '\n';
}

// The mark read from an open file, or empty when it holds none.
QByteArray readMark(int fd)
{
    char buf[kMarkRoom];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    if (n <= 0 || n >= kMarkRoom)
        return QByteArray();
    const QByteArray text(buf, int(n));
    return text.startsWith(kMark) && text.endsWith('\n') ? text : QByteArray();
}

engine_file_id identityOf(const struct stat& st)
{
    engine_file_id id;
    id.device = uint64_t(st.st_dev);
    id.inode = uint64_t(st.st_ino);
    id.changed_ns = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

bool isFanFileName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]{2}_[0-9]{5}\\.bin$"));
    return pattern.match(name).hasMatch();
}

// Why the settings file cannot be written, as the system says it.
QString whyNotWritable(const QString& file)
{
    const QByteArray name = QFile::encodeName(file);
    if (QFileInfo::exists(file) && ::access(name.constData(), W_OK) != 0)
        return errorText(errno);
    const QByteArray dir = QFile::encodeName(QFileInfo(file).absolutePath());
    if (::access(dir.constData(), W_OK | X_OK) != 0)
        return errorText(errno);
    struct statvfs fs;
    if (::statvfs(dir.constData(), &fs) == 0 && fs.f_bavail == 0)
        return errorText(ENOSPC);
    return QStringLiteral("it cannot be written");
}

} // namespace

QString fanFileName(const QString& id, int number)
{
    return QStringLiteral("%1_%2.bin").arg(id).arg(number, 5, 10, QLatin1Char('0'));
}

int reserveFile(const QString& path, engine_file_id* id)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    const QByteArray mark = markOfThisProcess();
    struct stat st;
    int err = 0;
    if (::write(fd, mark.constData(), size_t(mark.size())) != mark.size())
        err = errno ? errno : EIO;
    else if (::fstat(fd, &st) != 0)
        err = errno;
    if (err != 0) {
        ::close(fd);
        ::unlink(QFile::encodeName(path).constData());
        return err;
    }
    ::close(fd);
    if (id)
        *id = identityOf(st);
    return 0;
}

NameReservation reserveFirstFree(const QString& folder, const QString& id, int start)
{
    NameReservation r;
    removeStale(folder);
    if (start < 0 || start > kMaxNumber)
        start = 0;
    for (int step = 0; step <= kMaxNumber; ++step) {
        const int n = (start + step) % (kMaxNumber + 1);
        const QString name = fanFileName(id, n);
        const QString path = QDir(folder).filePath(name);
        const int err = reserveFile(path, &r.id);
        if (err == EEXIST)
            continue;
        if (err != 0) {
            r.error = QStringLiteral("cannot reserve %1: %2").arg(path, errorText(err));
            return r;
        }
        r.fileName = name;
        r.number = name.mid(id.size() + 1, 5);
        r.index = n;
        r.path = path;
        return r;
    }
    r.error = QStringLiteral("every name of %1 is taken in %2").arg(fanFileName(id, 0), folder);
    return r;
}

bool release(const NameReservation& reservation)
{
    if (reservation.path.isEmpty())
        return false;
    const QByteArray name = QFile::encodeName(reservation.path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    // Still the file that was reserved, and still only the mark: not the fan
    // file, whether it replaced the reservation or was written into it.
    bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < kMarkRoom;
    if (ours) {
        const engine_file_id now = identityOf(st);
        ours = engine_file_id_equal(&now, &reservation.id) && !readMark(fd).isEmpty();
    }
    ::close(fd);
    return ours && ::unlink(name.constData()) == 0;
}

int removeStale(const QString& folder)
{
    const int dirFd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    int removed = 0;
    for (dirent* e = ::readdir(dir); e; e = ::readdir(dir)) {
        if (!isFanFileName(QFile::decodeName(e->d_name)))
            continue;
        struct stat st;
        if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid() || st.st_size >= kMarkRoom)
            continue;
        const int fd = ::openat(dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        const QByteArray mark = readMark(fd);
        struct stat opened;
        const bool same =
            ::fstat(fd, &opened) == 0 && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev;
        ::close(fd);
        if (mark.isEmpty() || !same)
            continue;
        const QByteArray tag = mark.mid(int(sizeof kMark) - 1);
        const char* end = nullptr;
        if (engine_process_tag_alive(tag.constData(), &end) == 0 && end && *end == '\n' &&
            ::unlinkat(dirFd, e->d_name, 0) == 0) {
            qInfo().noquote() << "removed" << QDir(folder).filePath(QFile::decodeName(e->d_name))
                              << ", a name reserved by an ended run";
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

NameReservation takeNumberedName(QSettings& settings, const QString& folder, const QString& id,
                                 QString* counterProblem)
{
    const QString file = settings.fileName();
    QDir().mkpath(QFileInfo(file).absolutePath());
    QLockFile lock(file + QStringLiteral(".names.lock"));
    if (!lock.tryLock(kLockWaitMs))
        qWarning().noquote() << "output names: cannot lock" << file
                             << "; the names are still reserved one by one";

    // What another instance stored meanwhile counts.
    settings.sync();
    int n = settings.value(QLatin1String(Settings::ConvertIndex), 0).toInt();
    if (n < 0 || n > kMaxNumber)
        n = 0;
    NameReservation r;
    if (folder.isEmpty()) {
        r.index = n;
        r.fileName = fanFileName(id, n);
        r.number = r.fileName.mid(id.size() + 1, 5);
    } else {
        r = reserveFirstFree(folder, id, n);
    }
    if (r.index >= 0) {
        settings.setValue(QLatin1String(Settings::ConvertIndex), r.index + 1);
        settings.sync();
        const bool stored = settings.status() == QSettings::NoError;
        if (counterProblem)
            *counterProblem = stored
                ? QString()
                : QStringLiteral("cannot store \"%1\" in %2: %3")
                      .arg(QLatin1String(Settings::ConvertIndex), file, whyNotWritable(file));
    }
    return r;
}

} // namespace outputname
