#include "MediaConvert.h"

#include "JobBuilder.h"

#include <QThreadPool>

MediaConvert::MediaConvert(QObject* parent)
    : QObject(parent)
{
}

void MediaConvert::startConvert(ConvertRequest request, Callbacks callbacks)
{
    QThreadPool::globalInstance()->start(
        [request = std::move(request), callbacks = std::move(callbacks)]() {
            handleMedia(request, callbacks);
        });
}
