#include "convert/runsummary.h"

#include <QDir>

QString failureTextBesideSource(const FileResult& result)
{
    Failure failure = result.failure;
    if (QDir::cleanPath(QDir::fromNativeSeparators(failure.path)) ==
        QDir::cleanPath(QDir::fromNativeSeparators(result.source)))
        failure.path.clear();
    return failure.text();
}
