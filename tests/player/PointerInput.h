#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

// A mouse event at global position `global`, sent straight to w (no round
// trip through the window system), as the framing tests drag the preview.
inline void sendMouse(QWidget* w, QEvent::Type type, QPoint global, Qt::MouseButton button,
                      Qt::MouseButtons buttons)
{
    const QPoint local = w->mapFromGlobal(global);
    QMouseEvent ev(type, local, local, global, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &ev);
}
