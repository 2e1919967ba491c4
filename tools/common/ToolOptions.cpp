#include "ToolOptions.h"

namespace tooloptions {

QCommandLineOption option(const QString& name, const QString& description, const QString& valueName,
                          const QString& defaultValue)
{
    return QCommandLineOption(name, description, valueName, defaultValue);
}

bool readInt(const QString& text, int min, int max, int* out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace tooloptions
