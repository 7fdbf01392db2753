#include "platform/cominit.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <objbase.h>
#endif

void initializeComForThread()
{
#ifdef Q_OS_WIN
    // The result is not needed: a thread already initialised keeps its apartment.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
#endif
}
