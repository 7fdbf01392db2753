#include "convert/textcolumns.h"

#include <QtTest>

using Pairs = QList<QPair<int, int>>;
Q_DECLARE_METATYPE(Pairs)

class TextColumnsTest : public QObject
{
    Q_OBJECT
private slots:
    void columnFormatList_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("columns");
        QTest::addColumn<Pairs>("expected");
        QTest::newRow("three columns") << true << "2,3,4" << Pairs{{2, 2}, {3, 2}, {4, 2}};
        QTest::newRow("empty piece gives 0") << true << "2,,4" << Pairs{{2, 2}, {0, 2}, {4, 2}};
        QTest::newRow("blank after comma") << true << "2, 3" << Pairs{{2, 2}, {3, 2}};
        QTest::newRow("no integer gives 0") << true << "x,5" << Pairs{{0, 2}, {5, 2}};
        QTest::newRow("full-width comma and enumeration comma")
            << true << QStringLiteral("1，3、5") << Pairs{{1, 2}, {3, 2}, {5, 2}};
        QTest::newRow("full-width digits and space, as a Chinese input method types them")
            << true << QStringLiteral("２，\u3000１０") << Pairs{{2, 2}, {10, 2}};
        QTest::newRow("superscripts and circled numbers are no column numbers")
            << true << QStringLiteral("1²,①,𝟏") << Pairs{{0, 2}, {0, 2}, {0, 2}};
        QTest::newRow("duplicates kept, order kept") << true << "4,2,4" << Pairs{{4, 2}, {2, 2}, {4, 2}};
        QTest::newRow("empty list") << true << "" << Pairs{{1, 1}, {2, 1}};
        QTest::newRow("disabled with text left in the field") << false << "2,3" << Pairs{{1, 1}, {2, 1}};
    }
    void columnFormatList()
    {
        QFETCH(bool, enabled);
        QFETCH(QString, columns);
        QFETCH(Pairs, expected);
        ConversionOptions options;
        options.textColumnsEnabled = enabled;
        options.textColumns = columns;
        QCOMPARE(::columnFormatList(options), expected);
    }

    void cellByCellRoute()
    {
        ConversionOptions options;
        options.cellByCellMode = true;
        QVERIFY(!usesCellByCellRoute(options)); // no text columns in force: the import route
        options.textColumnsEnabled = true;
        options.textColumns = QStringLiteral("2");
        QVERIFY(usesCellByCellRoute(options));
        options.cellByCellMode = false;
        QVERIFY(!usesCellByCellRoute(options));
    }

    void cellByCellLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR LF") << "a,b\r\nc" << QStringList{"a,b", "c"};
        QTest::newRow("final line break adds an empty row") << "a\r\nb\r\n" << QStringList{"a", "b", ""};
        QTest::newRow("LF only") << "a\nb" << QStringList{"a", "b"};
        QTest::newRow("CR only") << "a\rb" << QStringList{"a", "b"};
        QTest::newRow("no line break") << "a,b" << QStringList{"a,b"};
        // Split at CR LF first: a lone LF then stays inside its line.
        QTest::newRow("mixed keeps lone LF") << "a\nb\r\nc" << QStringList{"a\nb", "c"};
    }
    void cellByCellLines()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        QCOMPARE(splitCellByCellLines(text), lines);
    }
};

QTEST_APPLESS_MAIN(TextColumnsTest)
#include "tst_textcolumns.moc"
