#include "workbook/workbooksaver.h"
#include "xls/xlswriter.h"
#include "xlsx/xlsxwriter.h"

#include "support/workbookreadback.h"

#include <QtTest>

#include <deque>
#include <memory>
#include <string>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace engine;

namespace {

// Rows given in full by a test, handed out as a RowSource; `failAfter` rows in, it reports a
// read error as a text import would.
class ListRowSource : public RowSource
{
public:
    struct Row
    {
        std::int64_t index;
        std::vector<Cell> cells;
        std::int64_t line = 0;
    };

    std::string_view keep(std::string text)
    {
        m_texts.push_back(std::move(text));
        return m_texts.back();
    }
    void addRow(std::int64_t index, std::vector<Cell> cells, std::int64_t line = 0)
    {
        m_rows.push_back(Row{index, std::move(cells), line});
    }
    void addTextRow(std::int64_t index, const QStringList& texts, std::int64_t line = 0)
    {
        std::vector<Cell> cells;
        for (const QString& text : texts)
            cells.push_back(text.isEmpty() ? Cell{} : Cell::makeText(keep(text.toStdString())));
        addRow(index, std::move(cells), line);
    }

    std::vector<std::pair<int, NumberFormat>> columnFormats() const override { return m_formats; }
    bool nextRow(RowView& row) override
    {
        if (m_failAfter >= 0 && m_next == std::size_t(m_failAfter)) {
            m_error = QStringLiteral("read error in the test source");
            return false;
        }
        if (m_next >= m_rows.size())
            return false;
        const Row& r = m_rows[m_next++];
        row.index = r.index;
        row.cells = r.cells.data();
        row.count = int(r.cells.size());
        row.sourceLine = r.line;
        return true;
    }
    Failure failure() const override
    {
        return m_error.isEmpty() ? Failure() : Failure(Reason::ReadError, QString(), m_error);
    }

    std::vector<std::pair<int, NumberFormat>> m_formats;
    int m_failAfter = -1;

private:
    std::deque<std::string> m_texts;
    std::vector<Row> m_rows;
    std::size_t m_next = 0;
    QString m_error;
};

const QDateTime someTime(QDate(2023, 6, 1), QTime(8, 30), Qt::UTC);

SaveResult saveSmall(ListRowSource& rows, const QString& name, const QString& path, WorkbookLimits limits)
{
    return saveWorkbook(rows, name, path, createXlsxWriter(), limits, someTime);
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

class WorkbookSaverTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void typedCellsReadBack_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<double>("number");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("expectedType");
        QTest::addColumn<QVariant>("expectedValue");
        QTest::addColumn<QString>("expectedFormat");

        const int general = int(NumberFormat::General);
        QTest::newRow("integer") << "n" << 123.0 << "" << general << "n" << QVariant(123.0) << "General";
        QTest::newRow("negative decimal") << "n" << -4.5 << "" << general << "n" << QVariant(-4.5) << "General";
        QTest::newRow("fifteen digits") << "n" << 123456789012345.0 << "" << general << "n"
                                        << QVariant(123456789012345.0) << "General";
        QTest::newRow("percent") << "n" << 0.12 << "" << int(NumberFormat::Percent) << "n" << QVariant(0.12) << "0%";
        QTest::newRow("boolean true") << "b" << 1.0 << "" << general << "b" << QVariant(true) << "General";
        QTest::newRow("boolean false") << "b" << 0.0 << "" << general << "b" << QVariant(false) << "General";
        QTest::newRow("chinese text") << "t" << 0.0 << "中文字段" << general << "s" << QVariant("中文字段")
                                      << "General";
        QTest::newRow("text with @ format")
            << "t" << 0.0 << "007" << int(NumberFormat::Text) << "s" << QVariant("007") << "@";
        QTest::newRow("formula-like text stays text")
            << "t" << 0.0 << "=SUM(A1:A2)" << general << "s" << QVariant("=SUM(A1:A2)") << "General";
        QTest::newRow("line break and tab kept")
            << "t" << 0.0 << "a\nb\tc" << general << "s" << QVariant("a\nb\tc") << "General";
        QTest::newRow("character beyond the basic plane")
            << "t" << 0.0 << "𠀀😀" << general << "s" << QVariant("𠀀😀") << "General";
        QTest::newRow("iso date") << "n" << 45296.0 << "" << int(NumberFormat::DateIso) << "d"
                                  << QVariant("2024-01-05T00:00:00") << "yyyy-mm-dd";
        QTest::newRow("slash date time") << "n" << 45296.5 << "" << int(NumberFormat::DateTimeSlash) << "d"
                                         << QVariant("2024-01-05T12:00:00") << "yyyy/m/d hh:mm";
        QTest::newRow("chinese date") << "n" << 45296.0 << "" << int(NumberFormat::DateChinese) << "d"
                                      << QVariant("2024-01-05T00:00:00") << "yyyy\"年\"m\"月\"d\"日\"";
        QTest::newRow("time with seconds")
            << "n" << (13 * 3600 + 45 * 60 + 30) / 86400.0 << "" << int(NumberFormat::TimeSeconds) << "d"
            << QVariant("13:45:30") << "hh:mm:ss";
    }

    // Each kind of cell keeps its value, type and number format through a save, as an
    // independent reader sees it.
    void typedCellsReadBack()
    {
        QFETCH(QString, kind);
        QFETCH(double, number);
        QFETCH(QString, text);
        QFETCH(int, format);
        QFETCH(QString, expectedType);
        QFETCH(QVariant, expectedValue);
        QFETCH(QString, expectedFormat);

        ListRowSource rows;
        Cell cell = kind == "t"   ? Cell::makeText(rows.keep(text.toStdString()), NumberFormat(format))
                    : kind == "b" ? Cell::makeBoolean(number != 0)
                                  : Cell::makeNumber(number, NumberFormat(format));
        rows.addRow(0, {cell});
        const QString path = m_dir->filePath("typed.xlsx");
        const SaveResult result = saveWorkbook(rows, "Data", path, FileFormatXlsx, someTime);
        QVERIFY2(result.ok, qPrintable(result.failure.text()));
        QVERIFY(result.warnings.isEmpty());

        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 1);
        QCOMPARE(book.sheets[0].name, QString("Data"));
        const ReadCell read = book.sheets[0].at(1, 1);
        QCOMPARE(read.type, expectedType);
        if (expectedType == "n")
            QCOMPARE(read.value.toDouble(), expectedValue.toDouble());
        else if (expectedType == "b")
            QCOMPARE(read.value.toBool(), expectedValue.toBool());
        else
            QCOMPARE(read.value.toString(), expectedValue.toString());
        QCOMPARE(read.numberFormat, expectedFormat);
    }

    // A text column carries "@", and its cells do too even when they have no format of their own;
    // empty cells are not written.
    void textColumnsAndEmptyCells()
    {
        ListRowSource rows;
        rows.m_formats = {{1, NumberFormat::Text}};
        rows.addRow(0, {Cell::makeNumber(1), Cell::makeText("0123"), Cell{}, Cell::makeText("x")});
        rows.addRow(4, {Cell{}, Cell::makeText("tail")});
        const QString path = m_dir->filePath("columns.xlsx");
        QVERIFY(saveWorkbook(rows, "S", path, FileFormatXlsx, someTime).ok);
        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        const ReadSheet& sheet = book.sheets[0];
        QCOMPARE(sheet.at(1, 2).value.toString(), QString("0123"));
        QCOMPARE(sheet.at(1, 2).numberFormat, QString("@"));
        QCOMPARE(sheet.at(1, 3).type, QString());
        QCOMPARE(sheet.at(5, 2).value.toString(), QString("tail"));
        QCOMPARE(sheet.at(5, 2).numberFormat, QString("@"));
        QCOMPARE(sheet.cells.size(), 4);
        QCOMPARE(sheet.maxRow, 5);
    }

    // The same rows and document time give the same bytes, however far apart the saves are;
    // the document time is what the caller passes.
    void sameInputGivesSameBytes()
    {
        auto save = [this](const QString& name, const QDateTime& created) {
            ListRowSource rows;
            rows.addRow(0, {Cell::makeText("a"), Cell::makeNumber(2.5), Cell::makeBoolean(true)});
            rows.addRow(1, {Cell::makeNumber(45296, NumberFormat::DateIso)});
            const QString path = m_dir->filePath(name);
            return saveWorkbook(rows, "Same", path, FileFormatXlsx, created).ok ? readBytes(path) : QByteArray();
        };
        const QByteArray first = save("first.xlsx", someTime);
        QTest::qWait(1100); // the clock moves on between the saves
        const QByteArray second = save("second.xlsx", someTime);
        QVERIFY(!first.isEmpty());
        QVERIFY(first == second);
        const QByteArray later = save("later.xlsx", someTime.addDays(1));
        QVERIFY(later != first);
        QVERIFY(later.contains("docProps/core.xml"));
    }

    // Rows beyond a sheet's limit go on to further sheets, each holding its share in order;
    // a gap in the rows keeps every row at its own place.
    void rowsContinueOnFurtherSheets()
    {
        ListRowSource rows;
        for (int i = 0; i < 7; ++i)
            rows.addRow(i, {Cell::makeNumber(i + 1)});
        rows.addRow(10, {Cell::makeNumber(11)});
        const QString path = m_dir->filePath("split.xlsx");
        const SaveResult result = saveSmall(rows, "Base", path, {3, 100, 100});
        QVERIFY2(result.ok, qPrintable(result.failure.text()));
        QVERIFY(result.warnings.isEmpty()); // nothing was lost

        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QStringList names;
        for (const ReadSheet& sheet : book.sheets)
            names << sheet.name;
        QCOMPARE(names, QStringList({"Base", "Base (2)", "Base (3)", "Base (4)"}));
        QCOMPARE(book.sheets[0].at(1, 1).value.toDouble(), 1.0);
        QCOMPARE(book.sheets[0].at(3, 1).value.toDouble(), 3.0);
        QCOMPARE(book.sheets[1].at(1, 1).value.toDouble(), 4.0);
        QCOMPARE(book.sheets[2].at(1, 1).value.toDouble(), 7.0);
        QCOMPARE(book.sheets[2].cells.size(), 1);
        QCOMPARE(book.sheets[3].at(2, 1).value.toDouble(), 11.0);
    }

    void sheetNames_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("valid");
        QTest::addColumn<QString>("second");
        QTest::newRow("plain") << "data"
                               << "data"
                               << "data (2)";
        QTest::newRow("forbidden characters") << "a[b]c:d*e?f/g\\h"
                                              << "a_b_c_d_e_f_g_h"
                                              << "a_b_c_d_e_f_g_h (2)";
        QTest::newRow("cut to 31") << "abcdefghijklmnopqrstuvwxyz0123456789"
                                   << "abcdefghijklmnopqrstuvwxyz01234"
                                   << "abcdefghijklmnopqrstuvwxyz0 (2)";
        QTest::newRow("surrogate pair not split")
            << QString(30, QChar('x')) + "😀" << QString(30, QChar('x')) << QString(27, QChar('x')) + " (2)";
        QTest::newRow("apostrophes at the ends") << "'quoted'"
                                                 << "_quoted_"
                                                 << "_quoted_ (2)";
        QTest::newRow("empty") << ""
                               << "Sheet1"
                               << "Sheet1 (2)";
        QTest::newRow("chinese") << "销售数据"
                                 << "销售数据"
                                 << "销售数据 (2)";
    }

    void sheetNames()
    {
        QFETCH(QString, given);
        QFETCH(QString, valid);
        QFETCH(QString, second);
        QCOMPARE(validSheetName(given), valid);
        QCOMPARE(continuationSheetName(validSheetName(given), 2), second);
        QVERIFY(continuationSheetName(validSheetName(given), 123).size() <= 31);
    }

    // Columns beyond the limit and characters beyond the limit are cut; the result and a last
    // sheet of the workbook name the text line of each cut, and the kept part reads back whole.
    void cutsAreReported()
    {
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("ok")}, 3);
        rows.addRow(1,
                    {Cell::makeNumber(1), Cell::makeNumber(2), Cell::makeNumber(3), Cell{}, Cell::makeNumber(5),
                     Cell::makeNumber(6)},
                    7);
        rows.addRow(2, {Cell{}, Cell{}, Cell{}, Cell{}, Cell{}}, 8); // only empty cells beyond: nothing lost
        // 8 characters, then one beyond the basic plane that would be cut in half at 9.
        rows.addRow(3, {Cell::makeText(rows.keep("12345678😀tail"))}, 12);
        rows.addRow(4, {Cell::makeText(rows.keep("一二三四五六七八九十十一"))}, 13);
        const QString path = m_dir->filePath("cut.xlsx");
        const SaveResult result = saveSmall(rows, "Cut", path, {100, 3, 9});
        QVERIFY2(result.ok, qPrintable(result.failure.text()));

        QCOMPARE(result.warnings.size(), 3);
        QVERIFY2(result.warnings[0].startsWith("第 7 行"), qPrintable(result.warnings[0]));
        QVERIFY2(result.warnings[0].contains("2 个单元格"), qPrintable(result.warnings[0]));
        QVERIFY2(result.warnings[1].startsWith("第 12 行第 1 列"), qPrintable(result.warnings[1]));
        // Characters are counted, not UTF-16 units: the four of "tail" and the one beyond the
        // basic plane.
        QVERIFY2(result.warnings[1].contains("其后 5 个字符"), qPrintable(result.warnings[1]));
        QVERIFY2(result.warnings[2].startsWith("第 13 行第 1 列"), qPrintable(result.warnings[2]));

        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        const ReadSheet& data = book.sheets[0];
        QCOMPARE(data.at(2, 3).value.toDouble(), 3.0);
        QCOMPARE(data.maxColumn, 3);
        QCOMPARE(data.at(4, 1).value.toString(), QString("12345678"));
        QCOMPARE(data.at(5, 1).value.toString(), QString("一二三四五六七八九"));
        const ReadSheet& warnings = book.sheets[1];
        QCOMPARE(warnings.name, QString::fromUtf8(warningSheetName));
        QCOMPARE(warnings.at(2, 1).value.toString(), result.warnings[0]);
        QCOMPARE(warnings.at(4, 1).value.toString(), result.warnings[2]);
    }

    // The warning sheet takes another name when a data sheet already has its name, and a flood
    // of cuts is capped with a count of the rest.
    void warningSheetNameAndCap()
    {
        ListRowSource rows;
        for (int i = 0; i < 1005; ++i)
            rows.addRow(i, {Cell::makeNumber(1), Cell::makeNumber(2)}, i + 1);
        const QString path = m_dir->filePath("many.xlsx");
        const SaveResult result = saveSmall(rows, QString::fromUtf8(warningSheetName), path, {2000, 1, 100});
        QVERIFY2(result.ok, qPrintable(result.failure.text()));
        QCOMPARE(result.warnings.size(), 1001);
        QVERIFY2(result.warnings.last().contains("5"), qPrintable(result.warnings.last()));
        const ReadWorkbook book = readWorkbookBack(path, true);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        QCOMPARE(book.sheets[1].name, QString::fromUtf8(warningSheetName) + " (2)");
        QCOMPARE(book.sheets[1].maxRow, 1002);
    }

    // A save that fails keeps the existing workbook as it was and leaves no temporary file.
    void failedSaveKeepsExistingWorkbook_data()
    {
        QTest::addColumn<int>("fileFormat");
        QTest::addColumn<int>("failAfter");
        QTest::newRow("source fails midway") << FileFormatXlsx << 2;
        QTest::newRow("unknown file format") << 77 << -1;
    }

    void failedSaveKeepsExistingWorkbook()
    {
        QFETCH(int, fileFormat);
        QFETCH(int, failAfter);
        const QString path = m_dir->filePath("kept.xlsx");
        const QByteArray old = "an existing workbook";
        QVERIFY(writeBytes(path, old));

        ListRowSource rows;
        for (int i = 0; i < 5; ++i)
            rows.addRow(i, {Cell::makeNumber(i)});
        rows.m_failAfter = failAfter;
        const SaveResult result = saveWorkbook(rows, "S", path, fileFormat, someTime);
        QVERIFY(!result.ok);
        QVERIFY(result.failure.isFailure());
        QCOMPARE(readBytes(path), old);
        QCOMPARE(filesIn(m_dir->path()), QStringList{"kept.xlsx"});
    }

    // A complete save replaces an existing workbook, and only the workbook is left behind.
    void successfulSaveReplaces()
    {
        const QString path = m_dir->filePath("replaced.xlsx");
        QVERIFY(writeBytes(path, "old"));
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("new")});
        QVERIFY(saveWorkbook(rows, "S", path, FileFormatXlsx, someTime).ok);
        QCOMPARE(readWorkbookBack(path).sheets.value(0).at(1, 1).value.toString(), QString("new"));
        QCOMPARE(filesIn(m_dir->path()), QStringList{"replaced.xlsx"});
    }

    void unwritableFolderFails()
    {
        const QString folder = m_dir->filePath("locked");
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + "/book.xlsx";
        QVERIFY(writeBytes(path, "old"));
#ifdef Q_OS_UNIX
        if (geteuid() == 0)
            QSKIP("running as root, which ignores folder permissions");
#endif
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("new")});
        const SaveResult result = saveWorkbook(rows, "S", path, FileFormatXlsx, someTime);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!result.ok);
        QVERIFY2(result.failure.isFailure(), "a failed save says why");
        QCOMPARE(readBytes(path), QByteArray("old"));
        QCOMPARE(filesIn(folder), QStringList{"book.xlsx"});
    }

    // The file is written completely but cannot take the target's place (a folder stands
    // there): the folder is untouched and the written file is removed.
    void renameFailureRemovesTheWrittenFile()
    {
        const QString path = m_dir->filePath("taken.xlsx");
        QVERIFY(QDir().mkpath(path + "/inside"));
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("x")});
        const SaveResult result = saveWorkbook(rows, "S", path, FileFormatXlsx, someTime);
        QVERIFY(!result.ok);
        QVERIFY2(result.failure.text().contains("taken.xlsx"), qPrintable(result.failure.text()));
        QVERIFY(QFileInfo(path + "/inside").isDir());
        QCOMPARE(filesIn(m_dir->path()), QStringList());
    }

    void missingFolderFails()
    {
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("x")});
        const SaveResult result =
            saveWorkbook(rows, "S", m_dir->filePath("no/such/folder/x.xlsx"), FileFormatXlsx, someTime);
        QVERIFY(!result.ok);
        QVERIFY(result.failure.isFailure());
    }

    // Without .xls support the request fails clearly and writes nothing; with it the workbook
    // reads back.
    void xlsFormat()
    {
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("x"), Cell::makeNumber(2)});
        const QString path = m_dir->filePath("old.xls");
        const SaveResult result = saveWorkbook(rows, "S", path, FileFormatXls, someTime);
        if (!createXlsWriter()) {
            QVERIFY(!result.ok);
            QVERIFY(result.failure.text().contains(".xls"));
            QVERIFY(filesIn(m_dir->path()).isEmpty());
            return;
        }
        QVERIFY2(result.ok, qPrintable(result.failure.text()));
        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets[0].at(1, 2).value.toDouble(), 2.0);
    }

    void escapes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("plain") << QByteArray("a_b x0041") << QByteArray("a_b x0041");
        QTest::newRow("escape-like text") << QByteArray("_x0041_") << QByteArray("_x005F_x0041_");
        QTest::newRow("lower-case hex") << QByteArray("1_x00ff_2") << QByteArray("1_x005F_x00ff_2");
        QTest::newRow("not four hex digits") << QByteArray("_x041_ _xZZZZ_") << QByteArray("_x041_ _xZZZZ_");
        QTest::newRow("nul") << QByteArray("a\0b", 3) << QByteArray("a_x0000_b");
    }

    void escapes()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, stored);
        const std::string escaped = escapeXlsxText(std::string_view(text.constData(), std::size_t(text.size())));
        QCOMPARE(QByteArray::fromStdString(escaped), stored);
    }

    // LibreOffice reads texts that look like escapes, and control characters, back as written.
    void escapedTextsInLibreOffice()
    {
        const QString soffice = QStandardPaths::findExecutable("soffice");
        if (soffice.isEmpty())
            QSKIP("LibreOffice is not installed");
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("_x0041_"), Cell::makeText("a\x01z"), Cell::makeText("_x005F_")});
        const QString path = m_dir->filePath("escapes.xlsx");
        QVERIFY(saveWorkbook(rows, "S", path, FileFormatXlsx, someTime).ok);
        QProcess process;
        process.start(soffice, {"--headless", "-env:UserInstallation=file://" + m_dir->filePath("lo-profile"),
                                "--convert-to", "csv", "--outdir", m_dir->filePath("csv"), path});
        QVERIFY(process.waitForFinished(180000));
        QCOMPARE(readBytes(m_dir->filePath("csv/escapes.csv")), QByteArray("_x0041_,a\x01z,_x005F_\n"));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(WorkbookSaverTest)
#include "tst_workbooksaver.moc"
