#include "files/atomicfile.h"
#include "workbook/workbooksaver.h"
#include "xls/xlswriter.h"
#include "xlsx/xlsxwriter.h"

#include "support/failingdevice.h"
#include "support/workbookreadback.h"

#include <QtTest>

#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

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
        if (m_onRow)
            m_onRow();
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
    std::function<void()> m_onRow; // called as each row is taken, while the workbook is written

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

// Run as root, file access in this thread is checked as for the user "nobody" while this lives,
// so that permissions apply as they do for an ordinary user.
class AsNobody
{
public:
    AsNobody()
    {
        if (::geteuid() == 0) {
            ::setfsgid(65534);
            ::setfsuid(65534);
        }
    }
    ~AsNobody()
    {
        if (::geteuid() == 0) {
            ::setfsuid(0);
            ::setfsgid(0);
        }
    }
};

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
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

    // A complete save replaces an existing workbook in one step: while it is written nothing new
    // has a name in the folder (the file has none until it is complete), the workbook keeps its
    // permission bits, and a symbolic link at its path stays and leads to the new workbook.
    void replacing_data()
    {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        const int created = int(0666 & ~mask);
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("mode");       // expected permission bits of the workbook
        QTest::addColumn<QString>("target"); // the file that receives the workbook
        QTest::newRow("new workbook") << "new" << created << "book.xlsx";
        QTest::newRow("existing workbook replaced") << "existing 644" << 0644 << "book.xlsx";
        QTest::newRow("a 600 workbook stays 600") << "existing 600" << 0600 << "book.xlsx";
        QTest::newRow("a 755 workbook stays 755") << "existing 755" << 0755 << "book.xlsx";
        QTest::newRow("a link stays, the file it leads to receives the workbook")
            << "link" << 0640 << "real/target.xlsx";
        QTest::newRow("a chain of links") << "chain" << 0640 << "real/target.xlsx";
        QTest::newRow("a dangling link: the file it names is made") << "dangling" << created << "real/target.xlsx";
        QTest::newRow("named temporary where unnamed files are refused") << "named" << 0644 << "book.xlsx";
    }
    void replacing()
    {
        QFETCH(QString, setup);
        QFETCH(int, mode);
        QFETCH(QString, target);
        QVERIFY(QDir(m_dir->path()).mkdir("real"));
        const QString path = m_dir->filePath("book.xlsx");
        if (setup.startsWith("existing") || setup == "named") {
            QVERIFY(writeBytes(path, "old"));
            QVERIFY(::chmod(QFile::encodeName(path).constData(),
                            mode_t(setup == "named" ? 0644 : setup.mid(9).toInt(nullptr, 8))) == 0);
        } else if (setup != "new") {
            if (setup != "dangling") {
                QVERIFY(writeBytes(m_dir->filePath("real/target.xlsx"), "old"));
                ::chmod(QFile::encodeName(m_dir->filePath("real/target.xlsx")).constData(), 0640);
            }
            QVERIFY(QFile::link("real/target.xlsx", setup == "chain" ? m_dir->filePath("middle.xlsx") : path));
            if (setup == "chain")
                QVERIFY(QFile::link("middle.xlsx", path));
        }
        // Temporaries that writers which are gone left in the receiving folder are removed by a
        // later save (4194305 is past the largest process id); a running writer's (this
        // process's) stays.
        const QString receiver = m_dir->filePath(target);
        const QString folder = QFileInfo(receiver).path();
        const QString stale = QStringLiteral(".quillmorne-%1-0.tmp").arg(4194305);
        const QString running = files::AtomicFile::temporaryNamePrefix() + QStringLiteral("1.tmp");
        QVERIFY(writeBytes(folder + "/" + stale, "stale"));
        QVERIFY(writeBytes(folder + "/" + running, "running"));
        QStringList before = filesIn(folder);
        before.removeAll(stale);

        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("new")});
        rows.addRow(1, {Cell::makeNumber(2)});
        QStringList whileWriting;
        rows.m_onRow = [&] {
            if (whileWriting.isEmpty())
                whileWriting = filesIn(folder);
        };
        files::AtomicFile::setUnnamedFilesAllowed(setup != "named");
        const SaveResult result = saveWorkbook(rows, "S", path, FileFormatXlsx, someTime);
        files::AtomicFile::setUnnamedFilesAllowed(true);
        QVERIFY2(result.ok, qPrintable(result.failure.text()));

        if (setup == "named") {
            QVERIFY(!whileWriting.contains(stale));
            QCOMPARE(whileWriting.filter(files::AtomicFile::temporaryNamePrefix()).size(), 2);
        } else {
            QCOMPARE(whileWriting, before);
        }
        QCOMPARE(readWorkbookBack(receiver).sheets.value(0).at(1, 1).value.toString(), QString("new"));
        QCOMPARE(int(modeOf(receiver)), mode);
        if (setup == "link" || setup == "chain" || setup == "dangling")
            QVERIFY(QFileInfo(path).isSymLink());
        // Only the workbook is new in the folder: no temporary file is left.
        QStringList after = filesIn(folder);
        after.removeAll(QFileInfo(receiver).fileName());
        before.removeAll(QFileInfo(receiver).fileName());
        QCOMPARE(after, before);
    }

    // A save that cannot be made fails with its own reason and leaves everything as it was.
    void saveFailsWithItsReason_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("reason");
        QTest::newRow("folder the user may not write") << "locked folder" << int(Reason::NoPermission);
        QTest::newRow("workbook the user may not write (mode 444)") << "444" << int(Reason::WorkbookNotWritable);
        QTest::newRow("a folder at the workbook's path") << "folder" << int(Reason::IsAFolder);
        QTest::newRow("a link to a folder at the workbook's path") << "link to folder" << int(Reason::IsAFolder);
        QTest::newRow("a FIFO at the workbook's path") << "fifo" << int(Reason::NotARegularFile);
        QTest::newRow("links in a loop") << "loop" << int(Reason::PathBlocked);
        QTest::newRow("folder missing") << "missing" << int(Reason::FolderMissing);
    }
    void saveFailsWithItsReason()
    {
        QFETCH(QString, setup);
        QFETCH(int, reason);
        const QString folder = m_dir->filePath("out");
        QVERIFY(QDir().mkpath(folder + "/sub/inside"));
        ::chmod(QFile::encodeName(m_dir->path()).constData(), 0755);
        ::chmod(QFile::encodeName(folder).constData(), setup == "locked folder" ? 0555 : 0777);
        QString path = folder + "/book.xlsx";
        if (setup == "locked folder" || setup == "444") {
            QVERIFY(writeBytes(path, "old"));
            ::chmod(QFile::encodeName(path).constData(), setup == "444" ? 0444 : 0666);
        } else if (setup == "folder") {
            path = folder + "/sub";
        } else if (setup == "link to folder") {
            QVERIFY(QFile::link("sub", path));
        } else if (setup == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        } else if (setup == "loop") {
            QVERIFY(QFile::link("book.xlsx", path));
        } else if (setup == "missing") {
            path = folder + "/no/such/book.xlsx";
        }
        const QStringList before = filesIn(folder);
        ListRowSource rows;
        rows.addRow(0, {Cell::makeText("new")});
        SaveResult result;
        {
            AsNobody nobody;
            result = saveWorkbook(rows, "S", path, FileFormatXlsx, someTime);
        }
        ::chmod(QFile::encodeName(folder).constData(), 0755);
        QVERIFY(!result.ok);
        QCOMPARE(int(result.failure.reason), reason);
        QVERIFY2(result.failure.path.startsWith(folder), qPrintable(result.failure.text()));
        QVERIFY2(result.failure.text().startsWith(reasonText(Reason(reason))), qPrintable(result.failure.text()));
        QCOMPARE(filesIn(folder), before);
        if (setup == "locked folder" || setup == "444")
            QCOMPARE(readBytes(path), QByteArray("old"));
        QVERIFY(QFileInfo(folder + "/sub/inside").isDir());
    }

    // A write the system refuses is reported by its cause, in either format; the device's
    // system error decides, not its words.
    void deviceFailureHasItsReason_data()
    {
        QTest::addColumn<int>("fileFormat");
        QTest::addColumn<qint64>("capacity");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("reason");
        for (const int format : {FileFormatXlsx, FileFormatXls}) {
            const char* name = format == FileFormatXlsx ? "xlsx" : "xls";
            QTest::addRow("%s: disk full", name) << format << qint64(1000) << ENOSPC << int(Reason::DiskFull);
            QTest::addRow("%s: quota exceeded", name) << format << qint64(1000) << EDQUOT << int(Reason::DiskFull);
            QTest::addRow("%s: file too large", name) << format << qint64(1000) << EFBIG << int(Reason::FileTooLarge);
            QTest::addRow("%s: input/output error", name) << format << qint64(0) << EIO << int(Reason::WriteError);
        }
    }
    void deviceFailureHasItsReason()
    {
        QFETCH(int, fileFormat);
        QFETCH(qint64, capacity);
        QFETCH(int, error);
        QFETCH(int, reason);
        ListRowSource rows;
        for (int i = 0; i < 2000; ++i)
            rows.addRow(i, {Cell::makeNumber(i * 1.5), Cell::makeText(rows.keep("text " + std::to_string(i)))});
        FailingDevice device(capacity, error);
        std::unique_ptr<WorkbookWriter> writer = fileFormat == FileFormatXlsx ? createXlsxWriter() : createXlsWriter();
        const WorkbookLimits limits = writer->limits();
        const SaveResult result = saveWorkbook(rows, "S", &device, std::move(writer), limits, someTime);
        QVERIFY(!result.ok);
        QCOMPARE(int(result.failure.reason), reason);
        QVERIFY2(result.failure.text().startsWith(reasonText(Reason(reason))), qPrintable(result.failure.text()));
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
