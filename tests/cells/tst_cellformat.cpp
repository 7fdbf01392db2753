#include "cells/cell.h"

#include <QtTest>

// Every number format has a code and a number of its own: two formats sharing either would make a
// writer's format table ambiguous. A built-in number is the one readers know for that very code.
class CellFormatTest : public QObject
{
    Q_OBJECT
private slots:
    void codesAreDistinct()
    {
        const QMap<int, QByteArray> builtIn{{0, "General"}, {9, "0%"}, {10, "0.00%"}, {49, "@"}};
        QSet<QByteArray> seen;
        QSet<int> seenIds;
        for (int i = 0; i < int(engine::NumberFormat::Count); ++i) {
            const QByteArray code = engine::numberFormatCode(engine::NumberFormat(i));
            QVERIFY2(!seen.contains(code), code.constData());
            seen.insert(code);
            const int id = engine::numberFormatId(engine::NumberFormat(i));
            QVERIFY2(!seenIds.contains(id), code.constData());
            seenIds.insert(id);
            if (id < engine::FirstUserFormatId)
                QCOMPARE(builtIn.value(id), code);
        }
    }
};

QTEST_APPLESS_MAIN(CellFormatTest)
#include "tst_cellformat.moc"
