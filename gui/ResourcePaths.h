#pragma once

#include <QString>
#include <QStringList>

// Locating the image files the window reads from disk ("gui/res/img/logo.ico",
// "gui/res/img/loading.gif"). They are looked up relative to the working
// directory first; when the program is started from elsewhere, the copies
// beside the executable (build tree) or in the installed data folder are used.

// Folders searched for a relative image path, in order: the working directory
// (as "."), the executable's folder, "<executable's folder>/../share/spindra"
// and the data folder chosen at build time. Folders that are not known (no
// application object yet, empty data folder) are left out; duplicates are
// removed.
QStringList imageSearchDirs();

// The first existing file named `relativePath` inside one of the folders
// above. In the working directory the path is returned unchanged; elsewhere
// as an absolute path. An absolute `relativePath`, or one that exists nowhere,
// is returned unchanged, so the caller's own load reports it as missing.
QString findImageFile(const QString& relativePath);

// The same search over an explicit list of folders ("." stands for the
// working directory); used by findImageFile and by tests.
QString findFileIn(const QStringList& dirs, const QString& relativePath);
