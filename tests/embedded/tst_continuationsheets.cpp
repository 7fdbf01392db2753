#include "embedded/embeddedapplication.h"
#include "support/workbookreadback.h"

#include <QTemporaryDir>
#include <QtTest>

// A text longer than a sheet holds continues on further sheets of the same workbook, split by
// the format the workbook is saved in; the independent readers must find every row.
class ContinuationSheetsTest : public QObject
{
    Q_OBJECT
private slots:
    void seventyThousandRowsAsXls()
    {
        QTemporaryDir dir;
        const int rows = 70000;
        QByteArray text;
        text.reserve(rows * 12);
        for (int row = 1; row <= rows; ++row)
            text += QByteArray::number(row) + "\tr" + QByteArray::number(row) + "\r\n";
        const QString source = dir.filePath(QStringLiteral("long.txt"));
        QVERIFY(writeBytes(source, text));

        engine::EmbeddedApplication application;
        OpenTextArguments arguments;
        arguments.fileName = source;
        arguments.origin = 65001;
        arguments.tab = true;
        arguments.fieldInfo = {{1, 1}, {2, 1}};
        QVERIFY(application.workbooks()->openText(arguments));
        Workbook* workbook = application.activeWorkbook();
        QVERIFY(workbook);
        const QString output = dir.filePath(QStringLiteral("long.xls"));
        QVERIFY2(workbook->saveAs(output, FileFormatXls), qPrintable(workbook->failure().text()));
        QVERIFY(workbook->warnings().isEmpty());
        QCOMPARE(workbook->saveFacts().rows, rows);
        QCOMPARE(workbook->saveFacts().sheets, 2);
        QCOMPARE(workbook->saveFacts().encoding, QStringLiteral("UTF-8"));

        const ReadWorkbook book = readWorkbookBack(output);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        QCOMPARE(book.sheets.at(0).name, QStringLiteral("long"));
        QCOMPARE(book.sheets.at(1).name, QStringLiteral("long (2)"));
        QCOMPARE(book.sheets.at(0).maxRow, 65536);
        QCOMPARE(book.sheets.at(1).maxRow, rows - 65536);
        // The seams: the last row of the first sheet and the first of the second.
        QCOMPARE(book.sheets.at(0).at(65536, 1).value.toDouble(), 65536.0);
        QCOMPARE(book.sheets.at(1).at(1, 1).value.toDouble(), 65537.0);
        QCOMPARE(book.sheets.at(1).at(rows - 65536, 2).value.toString(), QStringLiteral("r70000"));
        // Every row exactly once, in order.
        for (int sheet = 0; sheet < 2; ++sheet) {
            const int offset = sheet == 0 ? 0 : 65536;
            int expected = 1;
            for (const ReadCell& cell : book.sheets.at(sheet).cells) {
                if (cell.column != 1)
                    continue;
                QCOMPARE(int(cell.value.toDouble()), offset + expected);
                ++expected;
            }
            QCOMPARE(expected - 1, book.sheets.at(sheet).maxRow);
        }
    }
};

QTEST_GUILESS_MAIN(ContinuationSheetsTest)
#include "tst_continuationsheets.moc"
