// A conversion job's private folder for its temporary files (the sound FFmpeg
// writes beside the frames), so that no other user can read, replace or
// plant anything in it and no two jobs ever share a name:
//
//   <temp>/spindra-<uid>/job-<process tag>-XXXXXX
//
// The per-user folder is created with mode 0700 and used only when it is a
// real folder (not a link) of this user; one of this user with a wider mode
// is narrowed to 0700, and one that is not this user's is left alone and
// <generic cache>/spindra/tmp is used instead. The job folder is created as
// mkdtemp does (mode 0700, a fresh random name); its name carries the
// process (engine_process_tag), so the folders of jobs whose process has
// ended (killed, say) are recognised and removed when the next job starts.
// Nothing here ever follows a symbolic link: folders are opened with
// O_NOFOLLOW and removed entry by entry relative to their parent
// (openat/unlinkat), so a link planted anywhere is removed as a link and
// never descended into.
#pragma once

#include <QString>

class JobTempFolder {
public:
    // Removes the folders of ended jobs, then creates this job's folder;
    // isValid() tells whether that worked and error() why not.
    JobTempFolder();
    // Removes the folder with everything in it.
    ~JobTempFolder();

    JobTempFolder(const JobTempFolder&) = delete;
    JobTempFolder& operator=(const JobTempFolder&) = delete;

    bool isValid() const { return !folder.isEmpty(); }
    QString error() const { return failure; }
    QString path() const { return folder; }
    // A file of the folder; names never depend on the job's input.
    QString filePath(const QString& name) const;
    // Removes the folder now (idempotent).
    void remove();

    // The per-user folder that holds the job folders, created when missing;
    // empty (and *error set) when no private one can be had.
    static QString userFolder(QString* error = nullptr);
    // Removes the job folders in `userFolder` whose process has ended;
    // returns how many.
    static int removeEnded(const QString& userFolder);
    // Removes `path` and, when it is a folder (not a link to one), everything
    // in it, without following a link anywhere. True when nothing is left.
    static bool removeTree(const QString& path);

private:
    QString folder;
    QString failure;
};
