#include "support/failingdevice.h"
#include "support/workbookreadback.h"
#include "support/writercases.h"
#include "xlsx/deflater.h"
#include "xlsx/xlsxwriter.h"
#include "xlsx/zipwriter.h"

#include <QtTest>

#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

using engine::Cell;
using engine::NumberFormat;

namespace {

const QDateTime someTime(QDate(2024, 1, 5), QTime(13, 45), Qt::UTC);

struct SheetData
{
    QString name;
    std::vector<std::pair<int, NumberFormat>> columnFormats;
    std::vector<std::vector<Cell>> rows; // row i of the sheet
};

QString writeWorkbook(const QString& path, const std::vector<SheetData>& sheets, const QDateTime& created = someTime)
{
    auto writer = engine::createXlsxWriter();
    if (!writer->begin(path, created))
        return writer->errorString();
    for (const SheetData& sheet : sheets) {
        if (!writer->addSheet(sheet.name, sheet.columnFormats))
            return writer->errorString();
        for (std::size_t r = 0; r < sheet.rows.size(); ++r) {
            if (!writer->writeRow(int(r), sheet.rows[r].data(), int(sheet.rows[r].size())))
                return writer->errorString();
        }
    }
    if (!writer->finish())
        return writer->errorString();
    return {};
}

// Checks the archive with Python's zipfile (CRCs, sizes, directory) and compares every local
// header with its directory entry, which zipfile itself never does. Empty when sound; with
// `contents`, also lists "name size sha1" for every entry.
QString zipProblems(const QString& path, QStringList* contents = nullptr)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import hashlib, struct, sys, zipfile\n"
                                 "z = zipfile.ZipFile(sys.argv[1])\n"
                                 "bad = z.testzip()\n"
                                 "if bad: sys.exit('bad entry ' + bad)\n"
                                 "f = open(sys.argv[1], 'rb')\n"
                                 "for i in z.infolist():\n"
                                 "    f.seek(i.header_offset)\n"
                                 "    sig, _, _, _, _, _, crc, packed, size, n, x = struct.unpack('<IHHHHHIIIHH', "
                                 "f.read(30))\n"
                                 "    extra = f.read(n + x)[n:]\n"
                                 "    if packed == 0xffffffff and extra[:2] == b'\\x01\\x00':\n"
                                 "        size, packed = struct.unpack('<QQ', extra[4:20])\n"
                                 "    if (sig, crc, packed, size) != (0x04034b50, i.CRC, i.compress_size, "
                                 "i.file_size):\n"
                                 "        sys.exit('local header differs: ' + i.filename)\n"
                                 "    print(i.filename, i.file_size, hashlib.sha1(z.read(i)).hexdigest())\n"),
                  path});
    if (!python.waitForFinished(600000))
        return QStringLiteral("the zip check did not finish");
    if (python.exitCode() != 0)
        return QString::fromUtf8(python.readAllStandardError()).trimmed();
    if (contents)
        *contents = QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return {};
}

// A sheet laid out by `layout`: rows separated by '|', in each row 'x' a number cell, 'e' a cell
// of empty text (no cell) and '.' nothing. The number at row r, column c (from 1) is 100 r + c.
SheetData laidOut(const QString& layout)
{
    SheetData sheet{QStringLiteral("Layout"), {}, {}};
    const QStringList rows = layout.split(QLatin1Char('|'));
    for (int r = 0; r < rows.size(); ++r) {
        std::vector<Cell> cells;
        for (int c = 0; c < rows[r].size(); ++c) {
            const QChar kind = rows[r][c];
            cells.push_back(kind == QLatin1Char('x')   ? Cell::makeNumber(100 * (r + 1) + c + 1)
                            : kind == QLatin1Char('e') ? Cell::makeText({})
                                                       : Cell());
        }
        sheet.rows.push_back(cells);
    }
    return sheet;
}

// The (row, column) of every number cell of laidOut(layout), counted from 1.
QSet<QPair<int, int>> filledCells(const QString& layout)
{
    QSet<QPair<int, int>> filled;
    const QStringList rows = layout.split(QLatin1Char('|'));
    for (int r = 0; r < rows.size(); ++r) {
        for (int c = 0; c < rows[r].size(); ++c) {
            if (rows[r][c] == QLatin1Char('x'))
                filled.insert({r + 1, c + 1});
        }
    }
    return filled;
}

// The part's XML from the archive at `path`, read by Python's zipfile.
QByteArray partOf(const QString& path, const QString& part)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, zipfile\n"
                                 "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))\n"),
                  path, part});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        return "python failed: " + python.readAllStandardError();
    return python.readAllStandardOutput();
}

struct Layout
{
    const char* name;
    QString layout; // as laidOut() reads it
    QByteArray sheetData;
};

std::vector<Layout> referenceLayouts()
{
    QByteArray columnsAToZ;
    for (int c = 1; c <= 26; ++c)
        columnsAToZ +=
            "<c r=\"" + QByteArray(1, char('A' + c - 1)) + "1\"><v>" + QByteArray::number(100 + c) + "</v></c>";
    return {
        {"rows and cells without gaps", "xx|xx",
         "<row><c r=\"A1\"><v>101</v></c><c r=\"B1\"><v>102</v></c></row>"
         "<row><c r=\"A2\"><v>201</v></c><c r=\"B2\"><v>202</v></c></row>"},
        {"first row empty", "|x", "<row r=\"2\"><c r=\"A2\"><v>201</v></c></row>"},
        {"row after a skipped one, then one without a gap", "x||x|x",
         "<row><c r=\"A1\"><v>101</v></c></row><row r=\"3\"><c r=\"A3\"><v>301</v></c></row>"
         "<row><c r=\"A4\"><v>401</v></c></row>"},
        {"row of empty cells and empty texts is skipped", "x|.e|x",
         "<row><c r=\"A1\"><v>101</v></c></row><row r=\"3\"><c r=\"A3\"><v>301</v></c></row>"},
        {"first cell past column A", ".x", "<row><c r=\"B1\"><v>102</v></c></row>"},
        {"empty cell and empty text are gaps", "x.xex",
         "<row><c r=\"A1\"><v>101</v></c><c r=\"C1\"><v>103</v></c><c r=\"E1\"><v>105</v></c></row>"},
        {"gaps in rows and cells at once", "|.x.xx",
         "<row r=\"2\"><c r=\"B2\"><v>202</v></c><c r=\"D2\"><v>204</v></c><c r=\"E2\"><v>205</v></c></row>"},
        {"gap into column AB", QStringLiteral("x").repeated(26) + QStringLiteral(".x"),
         "<row>" + columnsAToZ + "<c r=\"AB1\"><v>128</v></c></row>"},
    };
}

// Bytes of a test entry: random ones, or text that compresses well. `seed` carries on from entry
// to entry.
std::string entryBytes(quint32& seed, int size, bool random)
{
    std::string data(std::size_t(std::max(size, 0)), '\0');
    for (char& byte : data) {
        seed = seed * 1103515245u + 12345u;
        byte = random ? char(seed >> 24) : "ab cd\n0123"[(seed >> 16) % 10];
    }
    return data;
}

// The size of the first random entry (entryBytes from seed 12345) that deflates to exactly
// `deflated` bytes; -1 if no size does.
int sizeDeflatingTo(int deflated)
{
    quint32 seed = 12345;
    const std::string data = entryBytes(seed, deflated, true);
    int size = deflated;
    for (int attempt = 0; attempt < 8 && size > 0 && size <= deflated; ++attempt) {
        const auto packed =
            int(engine::ZipWriter::pack(std::string_view(data.data(), std::size_t(size))).deflated.size());
        if (packed == deflated)
            return size;
        size -= packed - deflated;
    }
    return -1;
}

std::string spelling(double value)
{
    std::string out;
    engine::appendXlsxNumber(out, value);
    return out;
}

} // namespace

class XlsxWriterTest : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qInfo("compressing with %s", engine::Deflater::library());
    }

    // Every double is written so that it reads back as the same double, in as few digits as
    // that takes, and an independent reader agrees.
    void numbersRoundTrip_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("written");
        QTest::newRow("integer") << 42.0 << "42";
        QTest::newRow("zero") << 0.0 << "0";
        QTest::newRow("negative fraction") << -1234.56 << "-1234.56";
        QTest::newRow("one tenth") << 0.1 << "0.1";
        QTest::newRow("17 significant digits") << 0.30000000000000004 << "0.30000000000000004";
        QTest::newRow("15-digit integer") << 123456789012345.0 << "123456789012345";
        QTest::newRow("18-digit id as number") << 110101199003071234.0 << "110101199003071232";
        QTest::newRow("2^53 + 2") << 9007199254740994.0 << "9007199254740994";
        QTest::newRow("largest double") << DBL_MAX << "1.7976931348623157e+308";
        QTest::newRow("most negative double") << -DBL_MAX << "-1.7976931348623157e+308";
        QTest::newRow("smallest normal") << DBL_MIN << "2.2250738585072014e-308";
        QTest::newRow("denormal") << 5e-324 << "5e-324";
        QTest::newRow("huge") << 1e300 << "1e+300";
        QTest::newRow("one third") << 1.0 / 3 << "0.3333333333333333";
        QTest::newRow("date-time serial") << 45296 + 13.75 / 24 << "45296.572916666664";
        QTest::newRow("negative zero") << -0.0 << "-0";
        QTest::newRow("ten thousand, fixed form as long as exponent form") << 10000.0 << "10000";
        QTest::newRow("hundred thousand, exponent form shorter") << 100000.0 << "1e+05";
        QTest::newRow("twelve million") << 12000000.0 << "1.2e+07";
        QTest::newRow("one ten-thousandth") << 0.0001 << "1e-04";
        QTest::newRow("one thousandth") << 0.001 << "0.001";
        QTest::newRow("15 digits with decimals") << 1234567890.12345 << "1234567890.12345";
        QTest::newRow("largest 15-digit integer") << 999999999999999.0 << "999999999999999";
        QTest::newRow("10^15") << 1e15 << "1e+15";
        QTest::newRow("negative small decimal") << -0.05 << "-0.05";
        QTest::newRow("six decimals") << 1.000001 << "1.000001";
        QTest::newRow("seven decimals") << 1.0000001 << "1.0000001";
    }
    void numbersRoundTrip()
    {
        QFETCH(double, value);
        QFETCH(QString, written);
        const std::string text = spelling(value);
        QCOMPARE(QString::fromStdString(text), written);
        QCOMPARE(std::strtod(text.c_str(), nullptr), value);

        const QString path = m_dir.filePath(QStringLiteral("number-%1.xlsx").arg(QTest::currentDataTag()));
        QCOMPARE(writeWorkbook(path, {{QStringLiteral("N"), {}, {{Cell::makeNumber(value)}}}}), QString());
        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        const ReadCell cell = book.sheets[0].at(1, 1);
        QCOMPARE(cell.type, QStringLiteral("n"));
        QCOMPARE(exactText(cell.value), exactText(value));
    }

    // The spelling is std::to_chars's shortest form for every kind of double, including the
    // integers and short decimals that take a quicker way.
    void numbersSpelledAsShortestForm()
    {
        std::mt19937_64 random(20240105);
        auto check = [](double value) {
            char expected[64];
            const auto end = std::to_chars(expected, expected + sizeof expected, value).ptr;
            const std::string written = spelling(value);
            if (written != std::string_view(expected, std::size_t(end - expected)))
                QFAIL(qPrintable(
                    QStringLiteral("%1 written as %2")
                        .arg(QString::fromLatin1(expected, int(end - expected)), QString::fromStdString(written))));
        };
        for (int i = 0; i < 200000; ++i) {
            // Integers of every length, also with trailing zeros, and decimals of 1 to 8 places.
            const auto digits = int(random() % 17);
            std::int64_t integer = std::int64_t(random() % 1000000000000000000ull);
            for (int k = 18; k > digits; --k)
                integer /= 10;
            if (i % 3 == 0)
                integer -= integer % 1000;
            const double sign = i % 2 ? -1.0 : 1.0;
            check(sign * double(integer));
            for (int places = 1; places <= 8; ++places)
                check(sign * double(integer) / std::pow(10.0, places));
            // Any bits at all, and values near the limits of the quick way.
            std::uint64_t bits = random();
            double any;
            std::memcpy(&any, &bits, sizeof any);
            if (std::isfinite(any))
                check(any);
            check(sign * (1e15 - double(i)));
            check(sign * double(i) * 1e-7);
        }
    }

    // Texts come back exactly: XML markup, white space at either end, control characters,
    // escape-like sequences and characters beyond the BMP.
    void textsRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("text");
        // What openpyxl reads where it differs from the text: it does not undo the "_xHHHH_"
        // escapes of inline strings (LibreOffice does; see tst_workbooksaver).
        QTest::addColumn<QByteArray>("openpyxlReads");
        QTest::newRow("markup") << QByteArray("a & b < c > d \"q\" 'a'") << QByteArray();
        QTest::newRow("spaces at both ends") << QByteArray("  padded  ") << QByteArray();
        QTest::newRow("leading tab") << QByteArray("\tindented") << QByteArray();
        QTest::newRow("trailing line feed") << QByteArray("line\n") << QByteArray();
        QTest::newRow("carriage return inside") << QByteArray("a\r\nb") << QByteArray();
        QTest::newRow("control character") << QByteArray("a\x01z\x1f") << QByteArray("a_x0001_z_x001F_");
        QTest::newRow("noncharacters") << QByteArray("a\xef\xbf\xbe\xef\xbf\xbfz\xef\xbc\x8c")
                                       << QByteArray("a_xFFFE__xFFFF_z\xef\xbc\x8c");
        QTest::newRow("nul") << QByteArray("a\0b", 3) << QByteArray("a_x0000_b");
        QTest::newRow("escape-like text")
            << QByteArray("_x0041_ and _x005F_") << QByteArray("_x005F_x0041_ and _x005F_x005F_");
        QTest::newRow("CDATA end") << QByteArray("]]>") << QByteArray();
        QTest::newRow("emoji") << QByteArray("smile 😀 ok") << QByteArray();
        QTest::newRow("Chinese") << QByteArray("中文测试") << QByteArray();
        QTest::newRow("only a space") << QByteArray(" ") << QByteArray();
    }
    void textsRoundTrip()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, openpyxlReads);
        const std::string_view view(text.constData(), std::size_t(text.size()));
        const QString path = m_dir.filePath(QStringLiteral("text-%1.xlsx").arg(QTest::currentDataTag()));
        QCOMPARE(writeWorkbook(path, {{QStringLiteral("T"), {}, {{Cell::makeText(view)}}}}), QString());
        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        const ReadCell cell = book.sheets[0].at(1, 1);
        QCOMPARE(cell.type, QStringLiteral("s"));
        QCOMPARE(cell.value.toString(), QString::fromUtf8(openpyxlReads.isNull() ? text : openpyxlReads));
    }

    // Several sheets with their column formats, names that need escaping, and rows with gaps:
    // all read back in place, and the same input gives the same bytes.
    void sheetsAndFormats()
    {
        std::vector<SheetData> sheets;
        sheets.push_back({QStringLiteral("数据 & <more>"),
                          {{1, NumberFormat::Text}, {2, NumberFormat::Text}, {4, NumberFormat::DateIso}},
                          {}});
        for (int r = 0; r < 3000; ++r) {
            std::vector<Cell> row(6);
            row[0] = Cell::makeNumber(r + 0.5);
            row[1] = Cell::makeText("007");
            if (r % 2)
                row[3] = Cell::makeBoolean(r % 4 == 1);
            row[4] = Cell::makeNumber(45296 + r);
            row[5] = Cell::makeNumber(0.25, NumberFormat::Percent);
            sheets[0].rows.push_back(row);
        }
        sheets.push_back({QStringLiteral("Second"), {}, {{}, {Cell(), Cell::makeText("b2")}}});
        const QString first = m_dir.filePath(QStringLiteral("sheets1.xlsx"));
        const QString second = m_dir.filePath(QStringLiteral("sheets2.xlsx"));
        QCOMPARE(writeWorkbook(first, sheets), QString());
        QCOMPARE(writeWorkbook(second, sheets), QString());
        QVERIFY(readBytes(first) == readBytes(second));
        QCOMPARE(zipProblems(first), QString());

        const ReadWorkbook book = readWorkbookBack(first);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        QCOMPARE(book.sheets[0].name, sheets[0].name);
        QCOMPARE(book.sheets[0].maxRow, 3000);
        QCOMPARE(book.sheets[0].maxColumn, 6);
        QCOMPARE(book.sheets[0].at(3000, 1).value.toDouble(), 2999.5);
        QCOMPARE(book.sheets[0].at(2, 2).numberFormat, QStringLiteral("@"));
        QCOMPARE(book.sheets[0].at(2, 4).type, QStringLiteral("b"));
        QCOMPARE(book.sheets[0].at(1, 4).type, QString());
        QCOMPARE(book.sheets[0].at(1, 5).value.toString(), QStringLiteral("2024-01-05T00:00:00"));
        QCOMPARE(book.sheets[0].at(1, 6).numberFormat, QStringLiteral("0%"));
        QCOMPARE(book.sheets[1].name, QStringLiteral("Second"));
        QCOMPARE(book.sheets[1].cells.size(), 1);
        QCOMPARE(book.sheets[1].at(2, 2).value.toString(), QStringLiteral("b2"));
    }

    // Rows carry references only after a skipped row, cells always (Gnumeric finds a cell by its
    // reference alone), and a reader still finds every cell in its place.
    void rowReferencesOnlyAfterGaps_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QByteArray>("sheetData");
        for (const Layout& layout : referenceLayouts())
            QTest::newRow(layout.name) << layout.layout << layout.sheetData;
    }
    void rowReferencesOnlyAfterGaps()
    {
        QFETCH(QString, layout);
        QFETCH(QByteArray, sheetData);
        const QString path = m_dir.filePath(QStringLiteral("layout-%1.xlsx").arg(QTest::currentDataTag()));
        QCOMPARE(writeWorkbook(path, {laidOut(layout)}), QString());
        const QByteArray xml = partOf(path, QStringLiteral("xl/worksheets/sheet1.xml"));
        const int from = xml.indexOf("<sheetData>") + int(qstrlen("<sheetData>"));
        const QByteArray written = xml.mid(from, xml.indexOf("</sheetData>") - from);
        QCOMPARE(written, sheetData);

        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QSet<QPair<int, int>> read;
        for (const ReadCell& cell : book.sheets[0].cells) {
            read.insert({cell.row, cell.column});
            QCOMPARE(cell.value.toInt(), 100 * cell.row + cell.column);
        }
        QCOMPARE(read, filledCells(layout));
    }

    // LibreOffice, when installed, places every cell of the layouts above as openpyxl does.
    void referencesInLibreOffice()
    {
        const QString soffice = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        if (soffice.isEmpty())
            QSKIP("LibreOffice is not installed");
        const std::vector<Layout> layouts = referenceLayouts();
        QStringList arguments{QStringLiteral("-env:UserInstallation=file://") + m_dir.filePath(QStringLiteral("lo")),
                              QStringLiteral("--headless"),
                              QStringLiteral("--convert-to"),
                              QStringLiteral("csv"),
                              QStringLiteral("--outdir"),
                              m_dir.filePath(QStringLiteral("csv"))};
        for (std::size_t i = 0; i < layouts.size(); ++i) {
            const QString path = m_dir.filePath(QStringLiteral("lo-layout-%1.xlsx").arg(i));
            QCOMPARE(writeWorkbook(path, {laidOut(layouts[i].layout)}), QString());
            arguments << path;
        }
        QProcess process;
        process.start(soffice, arguments);
        QVERIFY(process.waitForFinished(300000));
        for (std::size_t i = 0; i < layouts.size(); ++i) {
            const QByteArray csv = readBytes(m_dir.filePath(QStringLiteral("csv/lo-layout-%1.csv").arg(i)));
            QVERIFY2(!csv.isEmpty(), layouts[i].name);
            QSet<QPair<int, int>> read;
            const QList<QByteArray> lines = csv.split('\n');
            for (int r = 0; r < lines.size(); ++r) {
                const QList<QByteArray> fields = lines[r].trimmed().split(',');
                for (int c = 0; c < fields.size(); ++c) {
                    if (fields[c].isEmpty())
                        continue;
                    read.insert({r + 1, c + 1});
                    QVERIFY2(fields[c].toInt() == 100 * (r + 1) + c + 1, layouts[i].name);
                }
            }
            QVERIFY2(read == filledCells(layouts[i].layout), layouts[i].name);
        }
    }

    // A sheet of many compression chunks (compressed on two threads, each chunk referring back
    // into the one before) streams through intact, and again to the same bytes.
    void largeSheetStreams()
    {
        SheetData sheet{QStringLiteral("Big"), {}, {}};
        std::vector<std::string> notes;
        for (int i = 0; i < 977; ++i)
            notes.push_back(std::string(200, 'x') + std::to_string(i));
        for (int r = 0; r < 20000; ++r)
            sheet.rows.push_back({Cell::makeNumber(r), Cell::makeText(notes[std::size_t(r % 977)])});
        const QString path = m_dir.filePath(QStringLiteral("big.xlsx"));
        QCOMPARE(writeWorkbook(path, {sheet}), QString());
        const QString again = m_dir.filePath(QStringLiteral("big-again.xlsx"));
        QCOMPARE(writeWorkbook(again, {sheet}), QString());
        QVERIFY(readBytes(path) == readBytes(again));
        QCOMPARE(zipProblems(path), QString());
        const ReadWorkbook book = readWorkbookBack(path, true);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets[0].maxRow, 20000);
    }

    void rejectsInvalidSheetNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("32 characters") << QString(32, QLatin1Char('n'));
        QTest::newRow("colon") << QStringLiteral("a:b");
        QTest::newRow("bracket") << QStringLiteral("[x]");
        QTest::newRow("leading apostrophe") << QStringLiteral("'x");
        QTest::newRow("same name in other case") << QStringLiteral("DATA");
    }
    void rejectsInvalidSheetNames()
    {
        QFETCH(QString, name);
        auto writer = engine::createXlsxWriter();
        QVERIFY(writer->begin(m_dir.filePath(QStringLiteral("names.xlsx")), someTime));
        QVERIFY(writer->addSheet(QStringLiteral("Data"), {}));
        QVERIFY(!writer->addSheet(name, {}));
        QVERIFY(!writer->errorString().isEmpty());
    }

    // Failures are reported, not crashed on or passed off as success.
    void failuresAreReported_data()
    {
        // Without a path the workbook goes to a device that fails after `capacity` bytes.
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("capacity");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("rows");
        QTest::addColumn<double>("number");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing folder") << m_dir.filePath(QStringLiteral("no/such/x.xlsx")) << qint64(-1) << 0 << 1
                                        << 1.0 << QStringLiteral("x.xlsx");
        QTest::newRow("disk full") << QString() << qint64(100000) << ENOSPC << 200000 << 1.0 << QStringLiteral("space");
        QTest::newRow("disk full, small sheet")
            << QString() << qint64(0) << ENOSPC << 3 << 1.0 << QStringLiteral("space");
        QTest::newRow("file too large while the sheet streams")
            << QString() << qint64(30000) << EFBIG << 200000 << 1.0 << QStringLiteral("large");
        QTest::newRow("infinity") << m_dir.filePath(QStringLiteral("inf.xlsx")) << qint64(-1) << 0 << 1
                                  << std::numeric_limits<double>::infinity() << QStringLiteral("finite");
    }
    void failuresAreReported()
    {
        QFETCH(QString, path);
        QFETCH(qint64, capacity);
        QFETCH(int, error);
        QFETCH(int, rows);
        QFETCH(double, number);
        QFETCH(QString, message);
        FailingDevice device(capacity, error);
        auto writer = engine::createXlsxWriter();
        bool ok = (path.isEmpty() ? writer->begin(&device, someTime) : writer->begin(path, someTime)) &&
                  writer->addSheet(QStringLiteral("S"), {});
        const std::string text(40, 't');
        for (int r = 0; ok && r < rows; ++r) {
            const Cell cells[] = {Cell::makeNumber(number), Cell::makeText(text)};
            ok = writer->writeRow(r, cells, 2);
        }
        ok = ok && writer->finish();
        QVERIFY(!ok);
        QVERIFY2(writer->errorString().contains(message, Qt::CaseInsensitive), qPrintable(writer->errorString()));
    }

    // Entries of every kind in any order: whole ones, streamed ones that fit one chunk, streamed
    // ones that go through the compressor threads, and entries that start just before or after
    // the gathered bytes are written out. Every local header and every entry's bytes must agree
    // with what was added.
    void zipEntriesInAnyOrder_data()
    {
        // Each entry: 'w' whole or 's' streamed, then its size; 'r' makes it incompressible.
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("small streamed between whole")
            << QStringList{QStringLiteral("w100"), QStringLiteral("s3000"), QStringLiteral("w50")};
        QTest::newRow("streamed past one chunk")
            << QStringList{QStringLiteral("w100"), QStringLiteral("s3500000"), QStringLiteral("w10"),
                           QStringLiteral("s70000"), QStringLiteral("s0")};
        QTest::newRow("incompressible streamed past one chunk")
            << QStringList{QStringLiteral("rs2500000"), QStringLiteral("rw100")};
        QTest::newRow("empty entries") << QStringList{QStringLiteral("w0"), QStringLiteral("s0")};
        // Streamed entries of whole chunks, and of a chunk and a short rest.
        QTest::newRow("streamed, exactly two chunks") << QStringList{QStringLiteral("s2097152"), QStringLiteral("w10")};
        QTest::newRow("incompressible streamed, a chunk and a byte")
            << QStringList{QStringLiteral("rs1052673"), QStringLiteral("rs1048576")};
        QTest::newRow("whole entries larger than a chunk")
            << QStringList{QStringLiteral("w3000000"), QStringLiteral("rw1500000")};
        // The gathered bytes reach their 1 MiB limit just before, inside or after the 35-byte local
        // header of a streamed entry whose data is then gathered again. The first entry is
        // incompressible, sized so that it deflates to the bytes wanted (each compressor adds its
        // own few bytes to stored data).
        for (int shortBy : {-4, 0, 1, 17, 34, 35, 36, 60}) {
            const int size = sizeDeflatingTo((1 << 20) - 35 - shortBy);
            QTest::addRow("streamed entry's header %d bytes short of the limit", shortBy)
                << QStringList{QStringLiteral("rw%1").arg(size), QStringLiteral("s500"), QStringLiteral("w30")};
        }
    }
    void zipEntriesInAnyOrder()
    {
        QFETCH(QStringList, entries);
        const QString path = m_dir.filePath(QStringLiteral("entries.zip"));
        engine::ZipWriter zip;
        QVERIFY(zip.open(path));
        QStringList expected;
        quint32 seed = 12345;
        for (int i = 0; i < entries.size(); ++i) {
            QString described = entries[i];
            const bool random = described.startsWith(QLatin1Char('r'));
            if (random)
                described.remove(0, 1);
            const bool streamed = described.startsWith(QLatin1Char('s'));
            const int size = described.mid(1).toInt();
            QVERIFY2(size >= 0, "no size of random bytes deflates to the size wanted");
            const std::string data = entryBytes(seed, size, random);
            const std::string name = "part" + std::to_string(i);
            if (streamed) {
                QVERIFY(zip.beginEntry(name));
                for (std::size_t at = 0; at < data.size(); at += 4096) {
                    zip.buffer().append(data, at, 4096);
                    QVERIFY2(zip.flushIfFull(), qPrintable(zip.errorString()));
                }
                QVERIFY2(zip.endEntry(), qPrintable(zip.errorString()));
            } else {
                QVERIFY2(zip.addEntry(name, data), qPrintable(zip.errorString()));
            }
            expected << QStringLiteral("%1 %2 %3")
                            .arg(QString::fromStdString(name))
                            .arg(size)
                            .arg(QString::fromLatin1(
                                QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha1)
                                    .toHex()));
        }
        QVERIFY2(zip.close(), qPrintable(zip.errorString()));
        QStringList contents;
        QCOMPARE(zipProblems(path, &contents), QString());
        QCOMPARE(contents, expected);
    }

    // A part packed ahead of time is stored with the same bytes as the same part compressed in
    // place, so workbooks do not depend on which way a part took.
    void packedEntriesMatch()
    {
        std::string data;
        for (int i = 0; i < 300; ++i)
            data += "<xf numFmtId=\"" + std::to_string(i % 7) + "\"/>";
        const engine::ZipWriter::PackedData packed = engine::ZipWriter::pack(data);
        QVERIFY(packed.ok);
        QByteArray archives[2];
        for (int way = 0; way < 2; ++way) {
            const QString path = m_dir.filePath(QStringLiteral("packed-%1.zip").arg(way));
            engine::ZipWriter zip;
            QVERIFY(zip.open(path));
            QVERIFY(way == 0 ? zip.addEntry("styles.xml", data) : zip.addPacked("styles.xml", packed));
            QVERIFY(zip.close());
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            archives[way] = file.readAll();
        }
        QCOMPARE(archives[1], archives[0]);
        QStringList contents;
        QCOMPARE(zipProblems(m_dir.filePath(QStringLiteral("packed-1.zip")), &contents), QString());
        QCOMPARE(contents.size(), 1);
    }

    // An entry past 4 GiB gets ZIP64 sizes; slow, so only on request.
    void zip64Entry()
    {
        if (qEnvironmentVariableIntValue("QUILLMORNE_LARGE_TESTS") != 1)
            QSKIP("set QUILLMORNE_LARGE_TESTS=1 to write a 4.3 GB entry");
        const QString path = m_dir.filePath(QStringLiteral("big.zip"));
        engine::ZipWriter zip;
        QVERIFY(zip.open(path));
        QVERIFY(zip.addEntry("first.txt", "first"));
        QVERIFY(zip.beginEntry("big.bin"));
        const std::string block(std::size_t(1) << 20, 'z');
        for (int i = 0; i < 4200; ++i) {
            zip.buffer() += block;
            QVERIFY2(zip.flushIfFull(), qPrintable(zip.errorString()));
        }
        QVERIFY2(zip.endEntry(), qPrintable(zip.errorString()));
        QVERIFY(zip.addEntry("last.txt", "last"));
        QVERIFY2(zip.close(), qPrintable(zip.errorString()));
        QCOMPARE(zipProblems(path), QString());
    }
};

QTEST_GUILESS_MAIN(XlsxWriterTest)
#include "tst_xlsxwriter.moc"
