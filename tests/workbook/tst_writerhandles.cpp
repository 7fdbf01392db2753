#include "support/workbookreadback.h"
#include "workbook/workbooksaver.h"
#include "xlsx/xlsxwriter.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

using namespace engine;

// The .xlsx writer must give back every file handle it took, whatever the sheets held: a run
// over many empty sources used to keep one handle per empty sheet until no file could be opened.
class WriterHandlesTest : public QObject
{
    Q_OBJECT

    // Rows at the given indexes, one number cell each.
    class IndexRows : public RowSource
    {
    public:
        explicit IndexRows(std::vector<std::int64_t> indexes) : m_indexes(std::move(indexes)) {}
        bool nextRow(RowView& row) override
        {
            if (m_next >= m_indexes.size())
                return false;
            m_cell = Cell::makeNumber(double(m_next));
            row.index = m_indexes[m_next++];
            row.cells = &m_cell;
            row.count = 1;
            return true;
        }

    private:
        std::vector<std::int64_t> m_indexes;
        std::size_t m_next = 0;
        Cell m_cell;
    };

    static int openHandles() { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(); }

private slots:
    void noHandleOutlivesTheSave_data()
    {
        QTest::addColumn<QVector<qint64>>("indexes");
        QTest::addColumn<int>("sheets"); // 0: the save fails
        QTest::newRow("empty sheet") << QVector<qint64>{} << 1;
        QTest::newRow("continuation sheets left empty by a gap") << QVector<qint64>{0, 9} << 4;
        QTest::newRow("rows on every sheet") << QVector<qint64>{0, 1, 2, 3, 4} << 2;
        // The file given up halfway (rows out of order) must give back its handles too.
        QTest::newRow("save given up halfway") << QVector<qint64>{0, 4, 2} << 0;
    }

    void noHandleOutlivesTheSave()
    {
        QFETCH(QVector<qint64>, indexes);
        QFETCH(int, sheets);
        QTemporaryDir dir;
        const QString path = dir.filePath("book.xlsx");
        const int before = openHandles();
        for (int round = 0; round < 20; ++round) {
            IndexRows rows(std::vector<std::int64_t>(indexes.begin(), indexes.end()));
            const SaveResult result =
                saveWorkbook(rows, "Sheet", path, createXlsxWriter(), WorkbookLimits{3, 10, 100}, QDateTime());
            QVERIFY2(result.ok == (sheets > 0), qPrintable(result.failure.text()));
        }
        QCOMPARE(openHandles(), before);
        if (sheets == 0) {
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
            return;
        }
        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), sheets);
    }

    void abandonedWorkbookGivesBackItsHandles()
    {
        QTemporaryDir dir;
        const int before = openHandles();
        for (int round = 0; round < 20; ++round) {
            std::unique_ptr<WorkbookWriter> writer = createXlsxWriter();
            QVERIFY(writer->begin(dir.filePath("abandoned.xlsx"), QDateTime()));
            QVERIFY(writer->addSheet("a", {}));
            const Cell cell = Cell::makeNumber(1);
            QVERIFY(writer->writeRow(0, &cell, 1));
            QVERIFY(writer->addSheet("b", {}));
        }
        QCOMPARE(openHandles(), before);
    }
};

QTEST_APPLESS_MAIN(WriterHandlesTest)
#include "tst_writerhandles.moc"
