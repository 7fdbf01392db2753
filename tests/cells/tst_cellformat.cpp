#include "cells/cell.h"

#include <QtTest>

// Every number format has a code of its own: two formats sharing a code would make a writer's
// format table ambiguous.
class CellFormatTest : public QObject
{
    Q_OBJECT
private slots:
    void codesAreDistinct()
    {
        QSet<QByteArray> seen;
        for (int i = 0; i < int(engine::NumberFormat::Count); ++i) {
            const QByteArray code = engine::numberFormatCode(engine::NumberFormat(i));
            QVERIFY2(!seen.contains(code), code.constData());
            seen.insert(code);
        }
    }
};

QTEST_APPLESS_MAIN(CellFormatTest)
#include "tst_cellformat.moc"
