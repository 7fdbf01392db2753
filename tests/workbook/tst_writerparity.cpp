#include "support/workbookreadback.h"
#include "support/writercases.h"
#include "xls/xlswriter.h"
#include "xlsx/xlsxwriter.h"

#include <QtTest>

using engine::Cell;
using engine::NumberFormat;

namespace {

// Writes every case of the shared table (row i+1, column 1) plus a column formatted "@".
QString writeCases(engine::WorkbookWriter& writer, const QString& path)
{
    const std::vector<WriterCase> cases = writerCases();
    if (!writer.begin(path, QDateTime(QDate(2024, 1, 5), QTime(13, 45), Qt::UTC)) ||
        !writer.addSheet(QStringLiteral("Cases"), {{1, NumberFormat::Text}}))
        return writer.errorString();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string label = cases[i].name;
        const Cell cells[] = {cases[i].cell(), Cell::makeText(label, NumberFormat::Text)};
        if (!writer.writeRow(int(i), cells, 2))
            return writer.errorString();
    }
    if (!writer.finish())
        return writer.errorString();
    return {};
}

} // namespace

// The .xls and the .xlsx writer store the same thing: what openpyxl reads from the .xlsx, xlrd
// reads from the .xls, value for value, type for type, format for format.
class WriterParityTest : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    ReadWorkbook m_xls;
    ReadWorkbook m_xlsx;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        auto xls = engine::createXlsWriter();
        auto xlsx = engine::createXlsxWriter();
        QVERIFY(xls && xlsx);
        QCOMPARE(writeCases(*xls, m_dir.filePath(QStringLiteral("cases.xls"))), QString());
        QCOMPARE(writeCases(*xlsx, m_dir.filePath(QStringLiteral("cases.xlsx"))), QString());
        m_xls = readWorkbookBack(m_dir.filePath(QStringLiteral("cases.xls")));
        m_xlsx = readWorkbookBack(m_dir.filePath(QStringLiteral("cases.xlsx")));
        QVERIFY2(m_xls.ok, qPrintable(m_xls.error));
        QVERIFY2(m_xlsx.ok, qPrintable(m_xlsx.error));
        QCOMPARE(m_xls.sheets.size(), 1);
        QCOMPARE(m_xlsx.sheets.size(), 1);
    }

    void sameCells_data()
    {
        QTest::addColumn<int>("index");
        const std::vector<WriterCase> cases = writerCases();
        for (std::size_t i = 0; i < cases.size(); ++i)
            QTest::newRow(cases[i].name) << int(i);
    }
    void sameCells()
    {
        QFETCH(int, index);
        for (int column : {1, 2}) {
            const ReadCell xls = m_xls.sheets[0].at(index + 1, column);
            const ReadCell xlsx = m_xlsx.sheets[0].at(index + 1, column);
            QCOMPARE(xls.type, xlsx.type);
            QCOMPARE(exactText(xls.value), exactText(xlsx.value));
            QCOMPARE(xls.numberFormat, xlsx.numberFormat);
        }
    }

    void sameExtent()
    {
        QCOMPARE(m_xls.sheets[0].name, m_xlsx.sheets[0].name);
        QCOMPARE(m_xls.sheets[0].maxRow, m_xlsx.sheets[0].maxRow);
        QCOMPARE(m_xls.sheets[0].maxColumn, m_xlsx.sheets[0].maxColumn);
        QCOMPARE(m_xls.sheets[0].cells.size(), m_xlsx.sheets[0].cells.size());
    }
};

QTEST_GUILESS_MAIN(WriterParityTest)
#include "tst_writerparity.moc"
