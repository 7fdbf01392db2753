#include "support/failingdevice.h"
#include "support/filesizelimit.h"
#include "support/workbookreadback.h"
#include "support/writercases.h"
#include "xls/biff8.h"
#include "xls/sharedstrings.h"
#include "xls/xlswriter.h"

#include <QtTest>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <unordered_map>

using engine::Cell;
using engine::NumberFormat;

namespace {

struct SheetData
{
    QString name;
    std::vector<std::pair<int, NumberFormat>> columnFormats;
    std::vector<std::pair<int, std::vector<Cell>>> rows; // 0-based row and its cells
};

// Writes `sheets` through the WorkbookWriter interface, into the file at `path` or, without one,
// onto `device`; returns the writer's error, empty on success.
QString writeWorkbook(engine::WorkbookWriter& writer, const QString& path, const std::vector<SheetData>& sheets,
                      QIODevice* device = nullptr)
{
    const QDateTime created(QDate(2024, 1, 5), QTime(13, 45), Qt::UTC);
    if (!(path.isEmpty() ? writer.begin(device, created) : writer.begin(path, created)))
        return writer.errorString();
    for (const SheetData& sheet : sheets) {
        if (!writer.addSheet(sheet.name, sheet.columnFormats))
            return writer.errorString();
        for (const auto& [row, cells] : sheet.rows) {
            if (!writer.writeRow(row, cells.data(), int(cells.size())))
                return writer.errorString();
        }
    }
    if (!writer.finish())
        return writer.errorString();
    return {};
}

QString writeXls(const QString& path, const std::vector<SheetData>& sheets, std::size_t spillThreshold = 0,
                 QIODevice* device = nullptr)
{
    engine::XlsWriter writer;
    if (spillThreshold)
        writer.setSpillThreshold(spillThreshold);
    return writeWorkbook(writer, path, sheets, device);
}

// Text cells whose strings live in `storage` (kept alive by the caller).
SheetData textColumn(const QString& name, const std::vector<std::string>& storage)
{
    SheetData sheet{name, {}, {}};
    for (std::size_t i = 0; i < storage.size(); ++i)
        sheet.rows.push_back({int(i), {Cell::makeText(storage[i])}});
    return sheet;
}

QHash<QPair<int, int>, ReadCell> cellMap(const ReadSheet& sheet)
{
    QHash<QPair<int, int>, ReadCell> map;
    for (const ReadCell& cell : sheet.cells)
        map.insert(qMakePair(cell.row, cell.column), cell);
    return map;
}

std::string repeatUtf8(const std::string& piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

// Runs Python with xlrd on `script` (path passed as argv[1]) and returns its standard output.
QString runPython(const QString& script, const QString& path)
{
    QProcess process;
    process.start(QStringLiteral(QUILLMORNE_TEST_PYTHON), {QStringLiteral("-c"), script, path});
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return QStringLiteral("python failed: ") + QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Record-level checks no reader makes (INDEX, DBCELL, EXTSST, CONTINUE layout): "ok" or the
// first problem.
QString structureOf(const QString& path)
{
    QProcess process;
    process.start(QStringLiteral(QUILLMORNE_TEST_PYTHON),
                  {QDir::cleanPath(QStringLiteral(QUILLMORNE_TEST_TOOLS "/xlsstructure.py")), path});
    if (!process.waitForFinished(300000) || process.exitCode() != 0)
        return QStringLiteral("checker failed: ") + QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

class XlsWriterTest : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    ReadWorkbook m_cases;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Every case of the shared table in one row, column 1; a copy in column 3 leaves a gap
        // that must stay empty.
        const std::vector<WriterCase> cases = writerCases();
        SheetData sheet{QStringLiteral("Cases"), {}, {}};
        for (std::size_t i = 0; i < cases.size(); ++i)
            sheet.rows.push_back({int(i), {cases[i].cell(), Cell(), cases[i].cell()}});
        QCOMPARE(writeXls(path("cases.xls"), {sheet}), QString());
        QCOMPARE(structureOf(path("cases.xls")), QStringLiteral("ok"));
        m_cases = readWorkbookBack(path("cases.xls"));
        QVERIFY2(m_cases.ok, qPrintable(m_cases.error));
        QCOMPARE(m_cases.sheets.size(), 1);
    }

    void cellValuesAndTypes_data()
    {
        QTest::addColumn<int>("index");
        const std::vector<WriterCase> cases = writerCases();
        for (std::size_t i = 0; i < cases.size(); ++i)
            QTest::newRow(cases[i].name) << int(i);
    }
    void cellValuesAndTypes()
    {
        QFETCH(int, index);
        const WriterCase expected = writerCases()[std::size_t(index)];
        const ReadSheet& sheet = m_cases.sheets.at(0);
        for (int column : {1, 3}) {
            const ReadCell cell = sheet.at(index + 1, column);
            QCOMPARE(cell.type, expected.readType);
            QCOMPARE(exactText(cell.value), exactText(expected.readValue));
            QCOMPARE(cell.numberFormat, expected.readFormat);
        }
        QCOMPARE(sheet.at(index + 1, 2).type, QString());
    }

    // RK is used only where it reads back as the very same double.
    void rkEncodingIsExact_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("compact");
        QTest::newRow("integer") << 42.0 << true;
        QTest::newRow("negative 30-bit integer") << -536870912.0 << true;
        QTest::newRow("hundredths") << 0.1 << true;
        QTest::newRow("negative hundredths") << -1234.56 << true;
        QTest::newRow("hundredths of a large integer") << 5000000.01 << true;
        QTest::newRow("binary fraction") << 1.5 << true;
        QTest::newRow("negative zero") << -0.0 << true;
        QTest::newRow("2^40") << 1099511627776.0 << true;
        QTest::newRow("pi") << 3.141592653589793 << false;
        QTest::newRow("thousandths") << 0.001 << false;
        QTest::newRow("15 digits") << 123456789012345.0 << false;
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << false;
        QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << false;
    }
    void rkEncodingIsExact()
    {
        QFETCH(double, value);
        QFETCH(bool, compact);
        std::uint32_t rk = 0;
        QCOMPARE(engine::biff8::encodeRk(value, &rk), compact);
        if (compact) {
            const double back = engine::biff8::decodeRk(rk);
            QVERIFY(std::memcmp(&back, &value, sizeof value) == 0);
        }
    }
    void rkEncodingRandomValues()
    {
        std::mt19937_64 random(12345);
        std::uniform_int_distribution<int> digits(0, 4);
        int compact = 0;
        for (int i = 0; i < 200000; ++i) {
            double value;
            if (i % 2) {
                std::uint64_t bits = random();
                std::memcpy(&value, &bits, sizeof value);
            } else {
                const double scale[] = {1, 10, 100, 1000, 10000};
                value = double(std::int64_t(random() % 2000000000) - 1000000000) / scale[digits(random)];
            }
            std::uint32_t rk;
            if (engine::biff8::encodeRk(value, &rk)) {
                ++compact;
                const double back = engine::biff8::decodeRk(rk);
                QVERIFY2(std::memcmp(&back, &value, sizeof value) == 0, qPrintable(QString::number(value, 'g', 17)));
            }
        }
        QVERIFY(compact > 20000);
    }

    // Strings that cross the 8,224-byte record boundary continue in CONTINUE records; each
    // piece has its own 8-bit/16-bit choice and a surrogate pair never splits.
    void longStrings_data()
    {
        QTest::addColumn<QStringList>("texts");
        const QString ascii = QString::fromLatin1("abcdefghijklmnopqrstuvwxyz0123456789");
        auto cycle = [](const QString& piece, int length) {
            QString out;
            while (out.size() < length)
                out += piece;
            return out.left(length);
        };
        QTest::newRow("20,000 ASCII characters") << QStringList{cycle(ascii, 20000)};
        QTest::newRow("32,767 ASCII characters") << QStringList{cycle(ascii, 32767)};
        QTest::newRow("32,767 Chinese characters") << QStringList{cycle(QStringLiteral("中文表格测试"), 32767)};
        QString mixed;
        while (mixed.size() < 32767)
            mixed += cycle(ascii, 1000) + cycle(QStringLiteral("汉字"), 700);
        QTest::newRow("32,767 characters, ASCII and Chinese in turns") << QStringList{mixed.left(32767)};
        // The first record holds 8,213 bytes of the first string's characters.
        QTest::newRow("Chinese right after a full ASCII record")
            << QStringList{cycle(ascii, 8213) + QStringLiteral("中文") + cycle(ascii, 100)};
        QTest::newRow("Chinese one character before the boundary")
            << QStringList{cycle(ascii, 8212) + QStringLiteral("中文") + cycle(ascii, 9000)};
        QStringList emoji;
        for (int shift = 0; shift < 4; ++shift)
            emoji << QString(shift, QLatin1Char('x')) + cycle(QStringLiteral("😀🎉"), 32760);
        QTest::newRow("emoji pairs across every boundary, four alignments") << emoji;
        QTest::newRow("emoji after Latin-1")
            << QStringList{cycle(QStringLiteral("çé"), 8212) + cycle(QStringLiteral("😀"), 200)};
        QStringList many;
        for (int i = 0; i < 6000; ++i) {
            const QString pieces[] = {QStringLiteral("a"), QStringLiteral("中"), QStringLiteral("😀"),
                                      QStringLiteral("é")};
            many << QString::number(i) + pieces[i % 4].repeated(i % 13);
        }
        QTest::newRow("6,000 short strings of every width") << many;
        QTest::newRow("empty strings among long ones")
            << QStringList{QString(), cycle(ascii, 8220), QString(), cycle(QStringLiteral("中"), 5000), QString()};
    }
    void longStrings()
    {
        QFETCH(QStringList, texts);
        std::vector<std::string> storage;
        for (const QString& text : texts)
            storage.push_back(text.toStdString());
        const QString file = path(QStringLiteral("long.xls"));
        QCOMPARE(writeXls(file, {textColumn(QStringLiteral("Long"), storage)}), QString());
        QCOMPARE(structureOf(file), QStringLiteral("ok"));
        const ReadWorkbook book = readWorkbookBack(file);
        QVERIFY2(book.ok, qPrintable(book.error));
        const auto cells = cellMap(book.sheets.at(0));
        for (int i = 0; i < texts.size(); ++i) {
            const ReadCell cell = cells.value(qMakePair(i + 1, 1));
            if (texts[i].isEmpty() && cell.type.isEmpty())
                continue;
            QCOMPARE(cell.type, QStringLiteral("s"));
            QVERIFY2(cell.value.toString() == texts[i], qPrintable(QStringLiteral("string %1 differs").arg(i)));
        }
    }

    // 100,000 distinct strings, each used twice, on 10,000 rows of 10 columns and a repeat. With a
    // small memory budget most of the lookup moves to runs on disk: the file must not change.
    void largeSharedStringTable_data()
    {
        QTest::addColumn<qulonglong>("stringBudget");
        QTest::newRow("lookup in memory") << qulonglong(0);
        QTest::newRow("lookup mostly on disk") << qulonglong(256 << 10);
    }
    void largeSharedStringTable()
    {
        QFETCH(qulonglong, stringBudget);
        std::vector<std::string> storage;
        storage.reserve(100000);
        for (int i = 0; i < 100000; ++i)
            storage.push_back((i % 3 ? "string " : "字符串 ") + std::to_string(i) + (i % 7 ? "" : " 😀"));
        SheetData first{QStringLiteral("Strings"), {}, {}};
        SheetData second{QStringLiteral("Again"), {}, {}};
        for (int row = 0; row < 10000; ++row) {
            std::vector<Cell> cells;
            for (int column = 0; column < 10; ++column)
                cells.push_back(Cell::makeText(storage[std::size_t(row * 10 + column)]));
            first.rows.push_back({row, cells});
            std::reverse(cells.begin(), cells.end());
            second.rows.push_back({row, cells});
        }
        const QString file = path(QStringLiteral("sst-%1.xls").arg(stringBudget));
        engine::XlsWriter writer;
        if (stringBudget)
            writer.setStringMemoryBudget(std::size_t(stringBudget));
        QCOMPARE(writeWorkbook(writer, file, {first, second}), QString());
        if (stringBudget) {
            // The same bytes as with the whole lookup in memory (the row before wrote them).
            QCOMPARE(readBytes(file), readBytes(path(QStringLiteral("sst-0.xls"))));
            return;
        }
        QCOMPARE(structureOf(file), QStringLiteral("ok"));
        const ReadWorkbook book = readWorkbookBack(file);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        for (int s = 0; s < 2; ++s) {
            QCOMPARE(book.sheets[s].cells.size(), 100000);
            for (const ReadCell& cell : book.sheets[s].cells) {
                const int column = s == 0 ? cell.column - 1 : 10 - cell.column;
                const std::string& expected = storage[std::size_t((cell.row - 1) * 10 + column)];
                if (cell.value.toString() != QString::fromStdString(expected))
                    QFAIL(
                        qPrintable(QStringLiteral("sheet %1 row %2 column %3").arg(s).arg(cell.row).arg(cell.column)));
            }
        }
    }

    // The shared string table numbers texts in order of first use and finds every text again,
    // whether it is still in memory or has moved to a run on disk, even when texts share a hash;
    // its memory stays within the budget, each move makes room, and the records it writes are
    // the same whatever the budget.
    void sharedStringLookup_data()
    {
        QTest::addColumn<QString>("texts");
        QTest::addColumn<int>("hash");
        QTest::addColumn<qulonglong>("budget");
        QTest::addColumn<int>("batch"); // texts interned together (a row's)
        enum { Default, ByLength, Constant };
        QTest::newRow("unique texts") << "unique" << int(Default) << qulonglong(32 << 10) << 1;
        QTest::newRow("texts that recur among unique ones") << "mixed" << int(Default) << qulonglong(32 << 10) << 1;
        QTest::newRow("texts that recur, ten at a time") << "mixed" << int(Default) << qulonglong(32 << 10) << 10;
        QTest::newRow("texts that recur long after leaving memory")
            << "late" << int(Default) << qulonglong(32 << 10) << 1;
        QTest::newRow("long texts, seven at a time") << "long" << int(Default) << qulonglong(64 << 10) << 7;
        QTest::newRow("texts of one length share a hash") << "mixed" << int(ByLength) << qulonglong(32 << 10) << 1;
        QTest::newRow("every text shares one hash, 100 at a time")
            << "late" << int(Constant) << qulonglong(32 << 10) << 100;
        QTest::newRow("all in memory") << "mixed" << int(Default) << qulonglong(64 << 20) << 1;
    }
    void sharedStringLookup()
    {
        QFETCH(QString, texts);
        QFETCH(int, hash);
        QFETCH(qulonglong, budget);
        QFETCH(int, batch);
        // The texts: "unique" all distinct; "mixed" a few hundred recurring among unique ones;
        // "late" each text once, then all again in reverse; "long" texts of up to 20,000 bytes.
        std::vector<std::string> sequence;
        std::mt19937 random(7);
        const int count = hash == 2 ? 3000 : 40000;
        for (int i = 0; i < count; ++i) {
            if (texts == QLatin1String("unique") || texts == QLatin1String("late"))
                sequence.push_back("text " + std::to_string(i));
            else if (texts == QLatin1String("mixed"))
                sequence.push_back(i % 3 ? "id " + std::to_string(i) : "city " + std::to_string(random() % 300));
            else
                sequence.push_back(std::string(random() % (i % 50 ? 300 : 20000), char('a' + i % 26)) +
                                   std::to_string(i % 500));
        }
        if (texts == QLatin1String("late"))
            sequence.insert(sequence.end(), sequence.rbegin(), sequence.rend());

        using Table = engine::biff8::SharedStringTable;
        const Table::Hash hashes[] = {nullptr, [](std::string_view t) { return std::uint64_t(t.size()); },
                                      [](std::string_view) { return std::uint64_t(42); }};
        Table table(std::size_t(budget), hashes[hash]);
        Table reference(std::size_t(1) << 30);
        std::unordered_map<std::string, std::uint32_t> expected;
        std::size_t maxMemory = 0;
        std::vector<std::string_view> group;
        std::vector<std::uint32_t> indexes;
        for (std::size_t start = 0; start < sequence.size(); start += std::size_t(batch)) {
            group.assign(sequence.begin() + std::ptrdiff_t(start),
                         sequence.begin() + std::ptrdiff_t(std::min(sequence.size(), start + std::size_t(batch))));
            indexes.assign(group.size(), 0);
            if (batch == 1)
                QVERIFY2(table.intern(group[0], indexes[0]), qPrintable(table.errorString()));
            else
                QVERIFY2(table.internAll(group.data(), group.size(), indexes.data()), qPrintable(table.errorString()));
            for (std::size_t k = 0; k < group.size(); ++k) {
                const std::string text(group[k]);
                const auto next = std::uint32_t(expected.size());
                const std::uint32_t wanted = expected.emplace(text, next).first->second;
                std::uint32_t referenceIndex = 0;
                QVERIFY(reference.intern(text, referenceIndex));
                if (indexes[k] != wanted)
                    QFAIL(qPrintable(QStringLiteral("text \"%1\" got %2, not %3")
                                         .arg(QString::fromStdString(text.substr(0, 40)))
                                         .arg(indexes[k])
                                         .arg(wanted)));
            }
            maxMemory = std::max(maxMemory, table.memoryInUse());
        }
        QCOMPARE(table.uniqueCount(), std::uint32_t(expected.size()));
        QCOMPARE(table.referenceCount(), std::uint32_t(sequence.size()));
        QVERIFY2(maxMemory <= budget, qPrintable(QStringLiteral("%1 bytes in use").arg(maxMemory)));
        // Each move to a run frees at least a quarter of the budget.
        std::size_t textBytes = 0;
        for (const std::string& text : sequence)
            textBytes += text.size() + 40;
        QVERIFY2(table.runCount() <= 4 * textBytes / budget + 1, qPrintable(QString::number(table.runCount())));
        if (budget < (1 << 20))
            QVERIFY(table.runCount() > 0);

        QCOMPARE(table.size(), reference.size());
        QByteArray written;
        QByteArray referenceWritten;
        auto into = [](QByteArray& out) {
            return [&out](const std::uint8_t* data, std::size_t size) {
                out.append(reinterpret_cast<const char*>(data), int(size));
                return true;
            };
        };
        QVERIFY(table.write(1000, into(written)));
        QVERIFY(reference.write(1000, into(referenceWritten)));
        QCOMPARE(qulonglong(written.size()), qulonglong(table.size()));
        QVERIFY(written == referenceWritten);
    }

    void fullSheetOf65536Rows()
    {
        std::vector<std::string> texts;
        texts.reserve(65536);
        for (int row = 0; row < 65536; ++row)
            texts.push_back("row " + std::to_string(row + 1));
        SheetData sheet{QStringLiteral("Full"), {{1, NumberFormat::Text}}, {}};
        for (int row = 0; row < 65536; ++row)
            sheet.rows.push_back({row, {Cell::makeNumber(row * 1.25), Cell::makeText(texts[std::size_t(row)])}});
        const QString file = path(QStringLiteral("full.xls"));
        QCOMPARE(writeXls(file, {sheet}), QString());
        QCOMPARE(structureOf(file), QStringLiteral("ok"));
        const ReadWorkbook book = readWorkbookBack(file);
        QVERIFY2(book.ok, qPrintable(book.error));
        const ReadSheet& read = book.sheets.at(0);
        QCOMPARE(read.maxRow, 65536);
        QCOMPARE(read.maxColumn, 2);
        QCOMPARE(read.cells.size(), 2 * 65536);
        for (const ReadCell& cell : read.cells) {
            if (cell.column == 1)
                QCOMPARE(exactText(cell.value), exactText((cell.row - 1) * 1.25));
            else if (cell.value.toString() != QStringLiteral("row %1").arg(cell.row))
                QFAIL(qPrintable(QStringLiteral("row %1").arg(cell.row)));
        }
    }

    void severalSheetsAndTextColumns()
    {
        const std::string words[] = {"alpha", "贝塔", "gamma"};
        SheetData first{QStringLiteral("Data"), {{0, NumberFormat::Text}, {2, NumberFormat::Text}}, {}};
        first.rows.push_back({0,
                              {Cell::makeText("007", NumberFormat::Text), Cell::makeNumber(1),
                               Cell::makeText(words[0], NumberFormat::Text)}});
        first.rows.push_back({40, {Cell::makeText(words[1], NumberFormat::Text)}}); // a gap of rows
        SheetData second{QStringLiteral("数据 (2)"), {{3, NumberFormat::Text}, {4, NumberFormat::Text}}, {}};
        second.rows.push_back({0, {Cell(), Cell(), Cell(), Cell::makeText(words[2], NumberFormat::Text)}});
        SheetData empty{QStringLiteral("Empty"), {}, {}};
        const QString file = path(QStringLiteral("sheets.xls"));
        QCOMPARE(writeXls(file, {first, second, empty}), QString());
        QCOMPARE(structureOf(file), QStringLiteral("ok"));

        const ReadWorkbook book = readWorkbookBack(file);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 3);
        QCOMPARE(book.sheets[0].name, QStringLiteral("Data"));
        QCOMPARE(book.sheets[1].name, QStringLiteral("数据 (2)"));
        QCOMPARE(book.sheets[2].name, QStringLiteral("Empty"));
        QCOMPARE(book.sheets[0].at(1, 1).value.toString(), QStringLiteral("007"));
        QCOMPARE(book.sheets[0].at(1, 1).numberFormat, QStringLiteral("@"));
        QCOMPARE(book.sheets[0].at(1, 2).value.toDouble(), 1.0);
        QCOMPARE(book.sheets[0].at(41, 1).value.toString(), QStringLiteral("贝塔"));
        QCOMPARE(book.sheets[0].cells.size(), 4);
        QCOMPARE(book.sheets[1].at(1, 4).value.toString(), QStringLiteral("gamma"));
        QCOMPARE(book.sheets[2].cells.size(), 0);

        // The column formats themselves: what a user typing into an empty cell of the column gets.
        const QString columns = runPython(QStringLiteral(R"(
import sys, xlrd
book = xlrd.open_workbook(sys.argv[1], formatting_info=True)
for sheet in book.sheets():
    cols = sorted(sheet.colinfo_map.items())
    print(sheet.name + ':' + ','.join('%d=%s' % (c, book.format_map[book.xf_list[i.xf_index].format_key].format_str) for c, i in cols))
)"),
                                          file);
        QCOMPARE(columns, QStringLiteral("Data:0=@,2=@\n数据 (2):3=@,4=@\nEmpty:"));
    }

    void workbookWithoutSheetsGetsOne()
    {
        const QString file = path(QStringLiteral("nosheet.xls"));
        QCOMPARE(writeXls(file, {}), QString());
        QCOMPARE(structureOf(file), QStringLiteral("ok"));
        const ReadWorkbook book = readWorkbookBack(file);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 1);
        QCOMPARE(book.sheets[0].name, QStringLiteral("Sheet1"));
    }

    // Identical input gives identical bytes: nothing time-dependent enters the file, and
    // moving sheet records to the temporary file changes nothing.
    void identicalBytes()
    {
        std::vector<std::string> storage;
        for (int i = 0; i < 3000; ++i)
            storage.push_back("text " + std::to_string(i % 1000) + " 中文");
        SheetData sheet = textColumn(QStringLiteral("Same"), storage);
        for (auto& row : sheet.rows)
            row.second.push_back(Cell::makeNumber(row.first / 3.0));
        QCOMPARE(writeXls(path("same1.xls"), {sheet, textColumn(QStringLiteral("Two"), storage)}), QString());
        QTest::qSleep(1100);
        QCOMPARE(writeXls(path("same2.xls"), {sheet, textColumn(QStringLiteral("Two"), storage)}), QString());
        QCOMPARE(writeXls(path("same3.xls"), {sheet, textColumn(QStringLiteral("Two"), storage)}, 1000), QString());
        const QByteArray first = readBytes(path("same1.xls"));
        QVERIFY(first.size() > 50000);
        QVERIFY(first == readBytes(path("same2.xls")));
        QVERIFY(first == readBytes(path("same3.xls")));
    }

    void unwritablePath_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("missing folder") << QStringLiteral("no/such/folder/out.xls");
        QTest::newRow("path is a folder") << QStringLiteral("folder.xls");
    }
    void unwritablePath()
    {
        QFETCH(QString, target);
        QDir(m_dir.path()).mkdir(QStringLiteral("folder.xls"));
        const QString file = path(target);
        const QString error = writeXls(file, {textColumn(QStringLiteral("S"), {"x"})});
        QVERIFY(!error.isEmpty());
        QVERIFY2(error.contains(file), qPrintable(error));
    }

    // A call that breaks the interface's promises fails cleanly and leaves no file behind.
    void callerMistakesFailCleanly_data()
    {
        QTest::addColumn<int>("mistake");
        QTest::newRow("row out of order") << 0;
        QTest::newRow("row beyond 65,536") << 1;
        QTest::newRow("257 columns") << 2;
        QTest::newRow("32,768 UTF-16 units of text") << 3;
        QTest::newRow("sheet name of 32 characters") << 4;
        QTest::newRow("two sheets of one name, case aside") << 5;
        QTest::newRow("row before any sheet") << 6;
    }
    void callerMistakesFailCleanly()
    {
        QFETCH(int, mistake);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("bad.xls"));
        const std::string emoji = repeatUtf8("😀", 16384);
        std::vector<Cell> wide(257, Cell::makeNumber(1));
        const Cell one = Cell::makeNumber(1);
        const Cell longText = Cell::makeText(emoji);
        {
            engine::XlsWriter writer;
            QVERIFY(writer.begin(file, QDateTime()));
            bool ok = true;
            if (mistake != 6)
                ok = writer.addSheet(QStringLiteral("Sheet"), {});
            switch (mistake) {
            case 0:
                ok = ok && writer.writeRow(5, &one, 1) && writer.writeRow(5, &one, 1);
                break;
            case 1:
                ok = ok && writer.writeRow(65535, &one, 1) && writer.writeRow(65536, &one, 1);
                break;
            case 2:
                ok = ok && writer.writeRow(0, wide.data(), 256) && writer.writeRow(1, wide.data(), 257);
                break;
            case 3:
                ok = ok && writer.writeRow(0, &longText, 1);
                break;
            case 4:
                ok = ok && writer.addSheet(QString(32, QLatin1Char('n')), {});
                break;
            case 5:
                ok = ok && writer.addSheet(QStringLiteral("SHEET"), {});
                break;
            case 6:
                ok = writer.writeRow(0, &one, 1);
                break;
            }
            QVERIFY(!ok);
            QVERIFY(!writer.errorString().isEmpty());
            QVERIFY(!writer.finish());
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // A full disk: the write fails with a message, and neither a partial workbook nor a temporary
    // file stays behind. The workbook goes to a device that fails; the sheet records' own
    // temporary file meets a file-size limit.
    void fullDiskFailsCleanly_data()
    {
        QTest::addColumn<qulonglong>("spillThreshold");
        QTest::addColumn<qint64>("capacity");         // of the failing device; -1: a file under a size limit
        QTest::addColumn<qulonglong>("stringBudget"); // 0: numbers only
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("temporaryFileError"); // what the writer tells of its own files
        QTest::newRow("writing the workbook")
            << qulonglong(0) << qint64(512 * 1024) << qulonglong(0) << QStringLiteral("cannot write") << 0;
        QTest::newRow("writing the container's tables")
            << qulonglong(0) << qint64(1) << qulonglong(0) << QStringLiteral("cannot write") << 0;
        QTest::newRow("moving sheet records to the temporary file")
            << qulonglong(4096) << qint64(-1) << qulonglong(0)
            << QStringLiteral("cannot write the temporary sheet file") << EFBIG;
        QTest::newRow("moving shared strings to their temporary files")
            << qulonglong(0) << qint64(-1) << qulonglong(32 << 10)
            << QStringLiteral("cannot write the temporary string") << EFBIG;
    }
    void fullDiskFailsCleanly()
    {
        QFETCH(qulonglong, spillThreshold);
        QFETCH(qint64, capacity);
        QFETCH(qulonglong, stringBudget);
        QFETCH(QString, message);
        QFETCH(int, temporaryFileError);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("full.xls"));
        SheetData sheet{QStringLiteral("Big"), {}, {}};
        std::vector<std::string> texts;
        for (int row = 0; stringBudget && row < 20000; ++row)
            texts.push_back(std::string(100, 't') + std::to_string(row));
        for (int row = 0; row < 20000; ++row) {
            std::vector<Cell> cells;
            for (int column = 0; column < 10; ++column)
                cells.push_back(Cell::makeNumber(row * 3.141592653589793 + column));
            if (stringBudget)
                cells.push_back(Cell::makeText(texts[std::size_t(row)]));
            sheet.rows.push_back({row, cells});
        }
        engine::XlsWriter writer;
        if (spillThreshold)
            writer.setSpillThreshold(std::size_t(spillThreshold));
        if (stringBudget)
            writer.setStringMemoryBudget(std::size_t(stringBudget));
        FailingDevice device(capacity, ENOSPC);
        QString error;
        if (capacity >= 0) {
            error = writeWorkbook(writer, QString(), {sheet}, &device);
            QVERIFY(device.failed());
            QVERIFY2(error.contains(device.errorString()), qPrintable(error));
        } else {
            const FileSizeLimit limit(512 * 1024);
            QVERIFY(limit.isSet());
            error = writeWorkbook(writer, file, {sheet});
        }
        QVERIFY2(error.startsWith(message), qPrintable(error));
        QCOMPARE(writer.temporaryFileError(), temporaryFileError);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        QCOMPARE(QDir::temp().entryList({QStringLiteral("quillmorne-xls-*")}), QStringList());
    }

    void abandonedWriterLeavesNoFile()
    {
        QTemporaryDir dir;
        {
            engine::XlsWriter writer;
            QVERIFY(writer.begin(dir.filePath(QStringLiteral("gone.xls")), QDateTime()));
            QVERIFY(writer.addSheet(QStringLiteral("S"), {}));
            const Cell cell = Cell::makeNumber(3);
            QVERIFY(writer.writeRow(0, &cell, 1));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // The speed measurement: 100,000 rows of 10 mixed cells (two sheets in .xls). Run alone
    // with `sheets_xlswriter writeSpeed` to see the time.
    void writeSpeed()
    {
        std::vector<std::string> texts(3);
        std::vector<Cell> cells(10);
        const QString file = path(QStringLiteral("speed.xls"));
        QBENCHMARK_ONCE
        {
            engine::XlsWriter writer;
            QVERIFY(writer.begin(file, QDateTime()));
            QVERIFY(writer.addSheet(QStringLiteral("Data"), {{2, NumberFormat::Text}}));
            for (int r = 0, row = 0; r < 100000; ++r, ++row) {
                if (row == 65536) {
                    row = 0;
                    QVERIFY(writer.addSheet(QStringLiteral("Data (2)"), {{2, NumberFormat::Text}}));
                }
                texts[0] = "name " + std::to_string(r);
                texts[1] = "城市" + std::to_string(r % 100);
                texts[2] = std::to_string(100000 + r);
                cells[0] = Cell::makeText(texts[0]);
                cells[1] = Cell::makeText(texts[1]);
                cells[2] = Cell::makeText(texts[2], NumberFormat::Text);
                cells[3] = Cell::makeNumber(r);
                cells[4] = Cell::makeNumber(r * 1.01);
                cells[5] = Cell::makeNumber(r / 7.0);
                cells[6] = Cell::makeNumber(45296 + r % 1000, NumberFormat::DateIso);
                cells[7] = Cell::makeNumber((r % 100) / 100.0, NumberFormat::Percent);
                cells[8] = Cell::makeBoolean(r % 2);
                cells[9] = Cell::makeText(r % 3 ? "yes" : "no");
                if (!writer.writeRow(row, cells.data(), 10))
                    QFAIL(qPrintable(writer.errorString()));
            }
            QVERIFY(writer.finish());
        }
        QCOMPARE(structureOf(file), QStringLiteral("ok"));
    }

    // LibreOffice, when installed, opens the file and sees the same values.
    void libreOfficeReadsTheFile()
    {
        const QString soffice = QStringLiteral("/usr/bin/soffice");
        if (!QFileInfo::exists(soffice))
            QSKIP("LibreOffice is not installed");
        QTemporaryDir profile;
        QTemporaryDir out;
        QProcess process;
        process.start(soffice,
                      {QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile.path()).toString(),
                       QStringLiteral("--headless"), QStringLiteral("--convert-to"),
                       QStringLiteral("csv:Text - txt - csv (StarCalc):44,34,76"), QStringLiteral("--outdir"),
                       out.path(), path(QStringLiteral("cases.xls"))});
        QVERIFY(process.waitForFinished(180000));
        QFile csv(out.filePath(QStringLiteral("cases.csv")));
        QVERIFY2(csv.open(QIODevice::ReadOnly), qPrintable(process.readAllStandardError()));
        const QString content = QString::fromUtf8(csv.readAll());
        // Values as LibreOffice formats them; spot checks of every type and of multi-byte text.
        for (const QString& expected :
             {QStringLiteral("42,,42"), QStringLiteral("536870911,,536870911"), QStringLiteral("-1234.56,,-1234.56"),
              QStringLiteral("12%,,12%"), QStringLiteral("12.34%,,12.34%"), QStringLiteral("中文测试,,中文测试"),
              QStringLiteral("smile 😀 ok 🎉,,smile 😀 ok 🎉"), QStringLiteral("007,,007"),
              QStringLiteral("2024-01-05,,2024-01-05"), QStringLiteral("2024-01-05 13:45:30,,2024-01-05 13:45:30"),
              QStringLiteral("2024/1/5,,2024/1/5"), QStringLiteral("2024年1月5日,,2024年1月5日"),
              QStringLiteral("13:45,,13:45"), QStringLiteral("23:59:59,,23:59:59")}) {
            QVERIFY2(content.contains(expected), qPrintable(expected + QStringLiteral(" missing")));
        }
        // LibreOffice keeps booleans as =TRUE()/=FALSE() formulas, shown as 1 and 0 in General.
        QVERIFY(content.contains(
            QRegularExpression(QStringLiteral("^(TRUE|1),,(TRUE|1)$"), QRegularExpression::MultilineOption)));
        QVERIFY(content.contains(
            QRegularExpression(QStringLiteral("^(FALSE|0),,(FALSE|0)$"), QRegularExpression::MultilineOption)));
    }
};

QTEST_GUILESS_MAIN(XlsWriterTest)
#include "tst_xlswriter.moc"
