#include "platform/screen.h"

#include <QGuiApplication>
#include <QScreen>

QSize primaryScreenSize()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize(0, 0);
}
