#include "MediaConvert.h"

#include "JobBuilder.h"
#include "ThreadHandover.h"

#include <QThreadPool>

MediaConvert::MediaConvert(QObject* parent)
    : QObject(parent)
{
}

void MediaConvert::startConvert(ConvertRequest request, Callbacks callbacks)
{
    std::function<void()> task = [request = std::move(request),
                                  callbacks = std::move(callbacks)]() {
        threadhandover::receive();
        handleMedia(request, callbacks);
    };
    threadhandover::publish();
    QThreadPool::globalInstance()->start(std::move(task));
}
