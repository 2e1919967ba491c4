// Removes a job's temporary files when spindra-convert is interrupted (Ctrl+C,
// SIGTERM, hang-up), so that a stopped conversion leaves no raw frame file of
// possibly several hundred megabytes behind in the temporary folder.
#pragma once

#include <QString>
#include <QStringList>

// Installs handlers for SIGINT, SIGTERM and SIGHUP that delete these files and
// remove this (empty) folder, then end the process by the same signal. Call
// once, before the job starts.
void removeOnInterrupt(const QStringList& files, const QString& folder);
