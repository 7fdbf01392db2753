#include "ui/qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

bool installQtTranslations()
{
    static QPointer<QTranslator> translator;
    if (translator)
        return true;
    auto* candidate = new QTranslator(QCoreApplication::instance());
    if (!candidate->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::location(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(candidate)) {
        delete candidate;
        return false;
    }
    translator = candidate;
    return true;
}
