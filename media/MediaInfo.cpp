#include "MediaInfo.h"

MediaInfo::MediaInfo(QObject* parent)
    : QObject(parent)
{
}
