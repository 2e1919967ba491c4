#pragma once

#include <QCommandLineOption>
#include <QString>

// Small helpers for the tools' command lines (fan-sim, the soak).
namespace tooloptions {

// --NAME, described for --help; with a valueName it takes a value, which is
// defaultValue when the option is not given.
QCommandLineOption option(const QString& name, const QString& description,
                          const QString& valueName = QString(),
                          const QString& defaultValue = QString());

// The decimal integer in text when it lies in [min, max]; false (and *out
// untouched) for anything else.
bool readInt(const QString& text, int min, int max, int* out);

} // namespace tooloptions
