#include "platform/textviewer.h"

#include <QDir>
#include <QProcess>

bool showTextFile(const QString& path)
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(QStringLiteral("notepad.exe"), {QDir::toNativeSeparators(path)});
#else
    return QProcess::startDetached(QStringLiteral("xdg-open"), {path});
#endif
}
