#include "cells/workbookwriter.h"

#include "files/atomicfile.h"

#include <QDir>

namespace engine {

WorkbookWriter::WorkbookWriter() = default;

// The file of begin(path), where it was not committed, is discarded with the writer: after the
// writer's own destructor has let go of the device.
WorkbookWriter::~WorkbookWriter() = default;

bool WorkbookWriter::begin(const QString& path, const QDateTime& created)
{
    m_ownFile = std::make_unique<files::AtomicFile>(path);
    const Failure failure = m_ownFile->open();
    if (failure.isFailure()) {
        m_ownFile.reset();
        m_ownFileError = QStringLiteral("cannot create %1: %2").arg(QDir::toNativeSeparators(path), failure.text());
        return false;
    }
    m_ownFileError.clear();
    return begin(m_ownFile->device(), created);
}

bool WorkbookWriter::commitOwnFile(QString* error)
{
    if (!m_ownFile)
        return true;
    const Failure failure = m_ownFile->commit();
    m_ownFile.reset();
    if (failure.isFailure()) {
        *error = failure.text();
        return false;
    }
    return true;
}

} // namespace engine
