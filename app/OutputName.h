// The names of the window's fan files, "<id>_<number>.bin", taken so that a
// conversion never replaces a fan file that is already there, whichever
// window (of this user or another) made it, and whether or not the counter
// can be stored.
//
// A name is reserved by creating its file exclusively (never over anything,
// never through a link) before the job starts; the file holds a mark naming
// this process until the finished fan file replaces it (the engine replaces
// only that file, see ConvertRequest::reservedPath). A name that is taken is
// stepped over. The number comes from the settings key "convert_index",
// read again and stored under a lock file beside the settings file, which
// every instance shares; when it cannot be stored the session goes on
// counting in memory and the reservations still keep every name apart. A
// reservation left by a process that has ended (killed, say) is removed by
// the next reservation in its folder.
#pragma once

#include "platform.h"

#include <QString>

class QSettings;

// One reserved fan file name.
struct NameReservation {
    QString fileName; // "<id>_<number>.bin"; empty when no number could be had
    QString number;   // the five digits
    int index = -1;   // the number, 0 to 99999
    QString path;     // the reservation; empty when the name is only counted (no folder)
    engine_file_id id {};
    QString error; // why nothing could be reserved in the folder
};

namespace outputname {

// Numbers run from 0 to kMaxNumber and start again at 0.
constexpr int kMaxNumber = 99999;

// "<id>_<number>.bin" with the number as five digits.
QString fanFileName(const QString& id, int number);

// Creates the file `path` for a reservation: only when nothing is there, and
// never through a link. 0, or the error (EEXIST: the name is taken).
int reserveFile(const QString& path, engine_file_id* id);

// Reserves the first name "<id>_<n>.bin" in folder that is free, n from
// `start` on (after kMaxNumber, 0), after removing the reservations of ended
// processes there. error is set when none can be reserved.
NameReservation reserveFirstFree(const QString& folder, const QString& id, int start);

// Removes a reservation that is still the file reserveFile created (not the
// fan file that replaced it, not a file put in its place). True when it
// removed it.
bool release(const NameReservation& reservation);

// Whether `name` in folder is a reservation of a process that has ended,
// and removes those; returns how many it removed.
int removeStale(const QString& folder);

// Takes the next name in folder (empty folder: the number only): under the
// lock shared by every instance, reads "convert_index" again, reserves the
// first free name from it on and stores the number after the one used.
// *counterProblem (when not null) says why the number could not be stored
// (empty when it was).
NameReservation takeNumberedName(QSettings& settings, const QString& folder, const QString& id,
                                 QString* counterProblem);

} // namespace outputname
