#include "embedded/embeddedapplication.h"

#include "support/workbookreadback.h"

#include <QtTest>

#include <memory>

using namespace engine;

namespace {

// Import settings in a compact spelling for the table: words separated by blanks, e.g.
// "comma consecutive q=-4142 start=2 other=| cp=936 fi=1:2,3:9". The default is a tab-delimited
// UTF-8 text with the double-quote qualifier.
OpenTextArguments argumentsFrom(const QString& description)
{
    OpenTextArguments arguments;
    arguments.origin = 65001;
    arguments.tab = true;
    for (const QString& word : description.split(' ', Qt::SkipEmptyParts)) {
        const QString value = word.section('=', 1);
        if (word == "notab")
            arguments.tab = false;
        else if (word == "comma")
            arguments.comma = true;
        else if (word == "semicolon")
            arguments.semicolon = true;
        else if (word == "space")
            arguments.space = true;
        else if (word == "consecutive")
            arguments.consecutiveDelimiter = true;
        else if (word.startsWith("other="))
            arguments.other = true, arguments.otherChar = value;
        else if (word.startsWith("q="))
            arguments.textQualifier = value.toInt();
        else if (word.startsWith("start="))
            arguments.startRow = value.toInt();
        else if (word.startsWith("cp="))
            arguments.origin = value.toInt();
        else if (word.startsWith("fi="))
            for (const QString& pair : value.split(','))
                arguments.fieldInfo.append({pair.section(':', 0, 0).toInt(), pair.section(':', 1).toInt()});
        else
            qFatal("unknown import setting %s", qPrintable(word));
    }
    return arguments;
}

// "B3" -> (3, 2).
QPair<int, int> cellPosition(const QString& ref)
{
    int column = 0;
    int i = 0;
    for (; i < ref.size() && ref.at(i).isLetter(); ++i)
        column = column * 26 + (ref.at(i).unicode() - 'A' + 1);
    return {ref.mid(i).toInt(), column};
}

} // namespace

class EmbeddedImportTest : public QObject
{
    Q_OBJECT
private slots:
    void textToCells_data()
    {
        // Expected cells: "ref|type|value" or "ref|type|value|number format"; every cell read
        // back must be listed, so a cell that should be absent is one that is not named.
        // "W|text": a warning of the workbook, in order; with any, the warnings sheet lists them
        // all after its heading. "F|rows|sheets|encoding": the facts of the save.
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QStringList>("cells");

        // Records and fields.
        QTest::newRow("CR LF, LF and CR end records")
            << QByteArray("a\r\nb\nc\rd") << "" << QStringList{"A1|s|a", "A2|s|b", "A3|s|c", "A4|s|d"};
        QTest::newRow("quoted delimiter") << QByteArray("\"a\tb\"\tc") << "" << QStringList{"A1|s|a\tb", "B1|s|c"};
        QTest::newRow("doubled qualifier") << QByteArray("\"say \"\"hi\"\"\"") << "" << QStringList{"A1|s|say \"hi\""};
        QTest::newRow("quoted line break")
            << QByteArray("\"x\r\ny\"\tz\nnext") << "" << QStringList{"A1|s|x\ny", "B1|s|z", "A2|s|next"};
        QTest::newRow("text after the closing qualifier")
            << QByteArray("\"ab\"cd\te") << "" << QStringList{"A1|s|abcd", "B1|s|e"};
        QTest::newRow("qualifier inside an unquoted field")
            << QByteArray("a\"b\tc") << "" << QStringList{"A1|s|a\"b", "B1|s|c"};
        QTest::newRow("quote never closed")
            << QByteArray("\"abc\tdef\nnext") << "" << QStringList{"A1|s|\"abc\tdef", "A2|s|next"};
        QTest::newRow("no qualifier") << QByteArray("\"a\tb\"") << "q=-4142" << QStringList{"A1|s|\"a", "B1|s|b\""};
        QTest::newRow("single-quote qualifier")
            << QByteArray("'a\tb'\t\"c\"") << "q=2" << QStringList{"A1|s|a\tb", "B1|s|\"c\""};
        QTest::newRow("comma and semicolon")
            << QByteArray("a,b;c\td") << "notab comma semicolon" << QStringList{"A1|s|a", "B1|s|b", "C1|s|c\td"};
        QTest::newRow("space") << QByteArray("a b") << "notab space" << QStringList{"A1|s|a", "B1|s|b"};
        QTest::newRow("other character, first only")
            << QByteArray("a|b#c") << "notab other=|#" << QStringList{"A1|s|a", "B1|s|b#c"};
        QTest::newRow("delimiters not merged") << QByteArray("a\t\tb") << "" << QStringList{"A1|s|a", "C1|s|b"};
        QTest::newRow("consecutive delimiters merged")
            << QByteArray("a\t\t\tb") << "consecutive" << QStringList{"A1|s|a", "B1|s|b"};
        QTest::newRow("merged run at the start leaves an empty first field")
            << QByteArray("\t\ta") << "consecutive" << QStringList{"B1|s|a"};
        QTest::newRow("start row") << QByteArray("skip\nkeep\nalso") << "start=2"
                                   << QStringList{"A1|s|keep", "A2|s|also"};

        // Field info.
        QTest::newRow("text column kept as written")
            << QByteArray("007\t007\t 12 \t=1+2") << "fi=1:2,3:2,4:2"
            << QStringList{"A1|s|007|@", "B1|s|007|General", "C1|s| 12 |@", "D1|s|=1+2|@"};
        QTest::newRow("skipped column moves later ones left")
            << QByteArray("a\tb\tc") << "fi=2:9" << QStringList{"A1|s|a", "B1|s|c"};
        QTest::newRow("day-month-year column") << QByteArray("05/01/2024\t31/02/2024") << "fi=1:4,2:4"
                                               << QStringList{"A1|d|2024-01-05T00:00:00", "B1|s|31/02/2024"};
        QTest::newRow("month-day-year column")
            << QByteArray("01/05/2024") << "fi=1:3" << QStringList{"A1|d|2024-01-05T00:00:00"};
        QTest::newRow("type 10 is General") << QByteArray("12") << "fi=1:10" << QStringList{"A1|n|12"};

        // Recognition of General fields.
        QTest::newRow("numbers") << QByteArray("123\t-4.5\t+12\t1.5E3\t1,234.5\t 42 ") << ""
                                 << QStringList{"A1|n|123",  "B1|n|-4.5",   "C1|n|12",
                                                "D1|n|1500", "E1|n|1234.5", "F1|n|42"};
        QTest::newRow("percent and parentheses")
            << QByteArray("12%\t(12)") << "" << QStringList{"A1|n|0.12|0%", "B1|n|-12"};
        QTest::newRow("booleans") << QByteArray("TRUE\tfalse\tTrue") << ""
                                  << QStringList{"A1|b|true", "B1|b|false", "C1|b|true"};
        QTest::newRow("dates") << QByteArray("2024-01-05\t2024/1/5\t2024年1月5日") << ""
                               << QStringList{"A1|d|2024-01-05T00:00:00|yyyy-mm-dd",
                                              "B1|d|2024-01-05T00:00:00|yyyy/m/d",
                                              "C1|d|2024-01-05T00:00:00|yyyy\"年\"m\"月\"d\"日\""};
        QTest::newRow("date and time") << QByteArray("2024-01-05 13:45\t2024-01-05 13:45:30") << ""
                                       << QStringList{"A1|d|2024-01-05T13:45:00|yyyy-mm-dd hh:mm",
                                                      "B1|d|2024-01-05T13:45:30|yyyy-mm-dd hh:mm:ss"};
        QTest::newRow("times") << QByteArray("13:45\t13:45:30") << ""
                               << QStringList{"A1|d|13:45:00|hh:mm", "B1|d|13:45:30|hh:mm:ss"};
        QTest::newRow("no such day or before 1900")
            << QByteArray("2023-02-29\t1899-12-31") << "" << QStringList{"A1|s|2023-02-29", "B1|s|1899-12-31"};
        QTest::newRow("identity number stays text") << QByteArray("110101199003071234\t1234567890123456") << ""
                                                    << QStringList{"A1|s|110101199003071234", "B1|s|1234567890123456"};
        QTest::newRow("leading zero stays text")
            << QByteArray("007\t0123\t0\t0.5") << "" << QStringList{"A1|s|007", "B1|s|0123", "C1|n|0", "D1|n|0.5"};
        QTest::newRow("never a formula") << QByteArray("=SUM(A1:A2)\t=1") << ""
                                         << QStringList{"A1|s|=SUM(A1:A2)", "B1|s|=1"};
        QTest::newRow("other text") << QByteArray("1/5/2024\t5-Jan\tMAR 3\t06-8108\t12-") << ""
                                    << QStringList{"A1|s|1/5/2024", "B1|s|5-Jan", "C1|s|MAR 3", "D1|s|06-8108",
                                                   "E1|s|12-"};
        QTest::newRow("empty fields write no cell")
            << QByteArray("\t\tx\t\n\n y") << "" << QStringList{"C1|s|x", "A3|s| y"};

        QTest::newRow("long decimals stay text as written")
            << QByteArray("12345678901234567.89\t-1234567890123456.5\t123456789012345.67\t1.2345678901234567E+20\t"
                          "12,345,678,901,234,567.5")
            << ""
            << QStringList{"A1|s|12345678901234567.89", "B1|s|-1234567890123456.5", "C1|n|123456789012345.67",
                           "D1|n|1.2345678901234567E+20", "E1|s|12,345,678,901,234,567.5"};

        // Code pages.
        QTest::newRow("GBK") << QByteArray("\xd6\xd0\xce\xc4\t1") << "cp=936"
                             << QStringList{"A1|s|中文", "B1|n|1", "F|1|1|GB18030"};
        QTest::newRow("GB18030 beyond GBK") << QByteArray("\x95\x32\x82\x36") << "cp=936" << QStringList{"A1|s|𠀀"};
        QTest::newRow("UTF-8 byte-order mark dropped")
            << QByteArray("\xef\xbb\xbfx\ty") << "cp=936" << QStringList{"A1|s|x", "B1|s|y"};
        QTest::newRow("UTF-16LE mark overrides the origin") << QByteArray("\xff\xfe"
                                                                          "a\0\t\0"
                                                                          "1\0",
                                                                          8)
                                                            << "cp=936" << QStringList{"A1|s|a", "B1|n|1"};
        QTest::newRow("UTF-16BE by origin")
            << QByteArray("\0a\0\t\0b", 6) << "cp=1201" << QStringList{"A1|s|a", "B1|s|b", "F|1|1|UTF-16BE"};
        QTest::newRow("UTF-32LE mark before the UTF-16LE one")
            << QByteArray("\xff\xfe\0\0a\0\0\0\t\0\0\0"
                          "1\0\0\0",
                          16)
            << "cp=1200" << QStringList{"A1|s|a", "B1|n|1", "F|1|1|UTF-32LE"};

        // Recognition, and what decoding had to repair: the line of each repair (CR LF, LF and CR
        // end one line each; a quoted field spans lines), counted in characters.
        const QByteArray twenty = QString(20, QChar(0x4E2D)).toUtf8();
        QTest::newRow("one bad byte leaves a UTF-8 text UTF-8")
            << twenty + "\t1\r\nx\ry\xFFz\t2\n"
            << "cp=0"
            << QStringList{"A1|s|" + QString(20, QChar(0x4E2D)),
                           "B1|n|1",
                           "A2|s|x",
                           "A3|s|y\uFFFDz",
                           "B3|n|2",
                           "W|第 3 行：1 个字符无法按 UTF-8 解码，已替换为 U+FFFD (\uFFFD)",
                           "F|3|1|UTF-8"};
        QTest::newRow("a GBK text is GBK") << QByteArray("\xd5\xc5\xc8\xfd\t\xb1\xb1\xbe\xa9\r\n") << "cp=0"
                                           << QStringList{"A1|s|张三", "B1|s|北京", "F|1|1|GB18030"};
        QTest::newRow("UTF-16 without a mark")
            << QByteArray("a\0\t\0"
                          "1\0\n\0"
                          "b\0",
                          10)
            << "cp=0"
            << QStringList{"A1|s|a", "B1|n|1", "A2|s|b", "W|文本没有字节顺序标记，按其零字节的位置当作 UTF-16LE 读取"};
        QTest::newRow("damaged UTF-8, several lines and a quoted line break")
            << QByteArray("a\xff\tb\r\n\"x\r\ny\xe4\xb8\"\tz\nc\xc3") << ""
            << QStringList{"A1|s|a\uFFFD",    "B1|s|b",
                           "A2|s|x\ny\uFFFD", "B2|s|z",
                           "A3|s|c\uFFFD",    "W|第 1、3、4 行：3 个字符无法按 UTF-8 解码，已替换为 U+FFFD (\uFFFD)"};
        QTest::newRow("NUL characters left out and named")
            << QByteArray("a\0b\tc\n\0\nd\0", 10) << ""
            << QStringList{"A1|s|ab", "B1|s|c", "A3|s|d", "W|第 1、2、3 行：3 个空字符 (NUL) 无法存入单元格，已略去"};
        QTest::newRow("bytes GB18030 lacks")
            << QByteArray("a\x80\tb") << "cp=936"
            << QStringList{"A1|s|a\uFFFD", "B1|s|b",
                           "W|第 1 行：1 个字符无法按 GB18030 解码，已替换为 U+FFFD (\uFFFD)"};
        QTest::newRow("odd byte at the end of UTF-16")
            << QByteArray("a\0\t\0b", 5) << "cp=1200"
            << QStringList{"A1|s|a", "B1|s|\uFFFD",
                           "W|第 1 行：1 个字符无法按 UTF-16LE 解码，已替换为 U+FFFD (\uFFFD)"};
        QTest::newRow("a text shorter than the start row reports nothing")
            << QByteArray("\xff\n\0") << "start=3" << QStringList{"F|0|1|UTF-8"};
        QTest::newRow("a NUL on the start row's line is reported")
            << QByteArray("\xff\n\xff\n\0", 5) << "start=3"
            << QStringList{"W|第 3 行：1 个空字符 (NUL) 无法存入单元格，已略去"};
        QTest::newRow("lines left out by the start row are not reported")
            << QByteArray("\xff\nok\xff") << "start=2"
            << QStringList{"A1|s|ok\uFFFD", "W|第 2 行：1 个字符无法按 UTF-8 解码，已替换为 U+FFFD (\uFFFD)"};
    }

    // A text imported with the given settings and saved as .xlsx reads back as these cells.
    void textToCells()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, settings);
        QFETCH(QStringList, cells);

        QTemporaryDir dir;
        OpenTextArguments arguments = argumentsFrom(settings);
        arguments.fileName = dir.filePath("input.txt");
        QVERIFY(writeBytes(arguments.fileName, text));
        EmbeddedApplication app;
        QVERIFY2(app.workbooks()->openText(arguments), qPrintable(app.workbooks()->failure().text()));
        const QString path = dir.filePath("output.xlsx");
        Workbook* workbook = app.activeWorkbook();
        QVERIFY2(workbook->saveAs(path, FileFormatXlsx), qPrintable(workbook->failure().text()));

        QStringList warnings;
        QStringList cellsOnly;
        for (const QString& expected : cells) {
            const QStringList parts = expected.split('|');
            if (parts[0] == "W") {
                warnings << parts[1];
            } else if (parts[0] == "F") {
                QCOMPARE(workbook->saveFacts().rows, parts[1].toLongLong());
                QCOMPARE(workbook->saveFacts().sheets, parts[2].toInt());
                QCOMPARE(workbook->saveFacts().encoding, parts[3]);
            } else {
                cellsOnly << expected;
            }
        }
        QCOMPARE(workbook->warnings(), warnings);

        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), warnings.isEmpty() ? 1 : 2);
        if (!warnings.isEmpty()) {
            QCOMPARE(book.sheets[1].name, QString("警告"));
            for (int i = 0; i < warnings.size(); ++i)
                QCOMPARE(book.sheets[1].at(i + 2, 1).value.toString(), warnings[i]);
        }
        const ReadSheet& sheet = book.sheets[0];
        QCOMPARE(sheet.name, QString("input"));
        for (const QString& expected : cellsOnly) {
            const QStringList parts = expected.split('|');
            const auto [row, column] = cellPosition(parts[0]);
            const ReadCell cell = sheet.at(row, column);
            QVERIFY2(cell.type == parts[1], qPrintable(parts[0] + " has type " + cell.type));
            if (parts[1] == "n")
                QCOMPARE(cell.value.toDouble(), parts[2].toDouble());
            else if (parts[1] == "b")
                QCOMPARE(cell.value.toBool(), parts[2] == "true");
            else
                QCOMPARE(cell.value.toString(), parts[2]);
            if (parts.size() > 3)
                QCOMPARE(cell.numberFormat, parts[3]);
        }
        QCOMPARE(sheet.cells.size(), cellsOnly.size());
    }

    // At the real .xlsx limits: a field longer than 32,767 characters and a line of more than
    // 16,384 fields are cut, the workbook says which text lines, and what fits is kept whole.
    void cutsAtTheRealLimits()
    {
        QTemporaryDir dir;
        // 32,766 characters and then one beyond the basic plane, which must not be cut in half.
        const QByteArray longField = QByteArray(32766, 'x') + "😀" + QByteArray(100, 'y');
        QByteArray wide;
        for (int i = 1; i <= 16390; ++i)
            wide += QByteArray::number(i) + '\t';
        const QByteArray text = "first\n" + longField + "\n" + wide + "\nlast\n";
        OpenTextArguments arguments = argumentsFrom("");
        arguments.fileName = dir.filePath("limits.txt");
        QVERIFY(writeBytes(arguments.fileName, text));
        EmbeddedApplication app;
        QVERIFY(app.workbooks()->openText(arguments));
        Workbook* workbook = app.activeWorkbook();
        const QString path = dir.filePath("limits.xlsx");
        QVERIFY2(workbook->saveAs(path, FileFormatXlsx), qPrintable(workbook->failure().text()));
        QCOMPARE(workbook->warnings().size(), 2);
        QVERIFY2(workbook->warnings()[0].startsWith("第 2 行第 1 列"), qPrintable(workbook->warnings()[0]));
        QVERIFY2(workbook->warnings()[1].startsWith("第 3 行"), qPrintable(workbook->warnings()[1]));
        QVERIFY2(workbook->warnings()[1].contains("6 个单元格"), qPrintable(workbook->warnings()[1]));

        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        const ReadSheet& sheet = book.sheets[0];
        QCOMPARE(sheet.at(2, 1).value.toString(), QString(32766, 'x'));
        QCOMPARE(sheet.at(3, 16384).value.toDouble(), 16384.0);
        QCOMPARE(sheet.maxColumn, 16384);
        QCOMPARE(sheet.at(4, 1).value.toString(), QString("last"));
        QCOMPARE(book.sheets[1].at(2, 1).value.toString(), workbook->warnings()[0]);
    }

    // The real size: a text of more rows than a sheet holds fills a second sheet with the rest.
    // Set QUILLMORNE_LARGE_TESTS=1 to run it (it writes about 1.1 million rows).
    void moreRowsThanASheet()
    {
        if (qEnvironmentVariableIntValue("QUILLMORNE_LARGE_TESTS") != 1)
            QSKIP("set QUILLMORNE_LARGE_TESTS=1 to import 1,100,000 rows");
        QTemporaryDir dir;
        const QString source = dir.filePath("big.txt");
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly));
            for (int i = 1; i <= 1100000; ++i)
                file.write(QByteArray::number(i) + "\trow\n");
        }
        OpenTextArguments arguments = argumentsFrom("");
        arguments.fileName = source;
        EmbeddedApplication app;
        QVERIFY(app.workbooks()->openText(arguments));
        const QString path = dir.filePath("big.xlsx");
        QVERIFY2(app.activeWorkbook()->saveAs(path, FileFormatXlsx),
                 qPrintable(app.activeWorkbook()->failure().text()));
        QVERIFY(app.activeWorkbook()->warnings().isEmpty());
        const ReadWorkbook book = readWorkbookBack(path, true);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 2);
        QCOMPARE(book.sheets[0].name, QString("big"));
        QCOMPARE(book.sheets[0].maxRow, 1048576);
        QCOMPARE(book.sheets[1].name, QString("big (2)"));
        QCOMPARE(book.sheets[1].maxRow, 1100000 - 1048576);
        QCOMPARE(book.sheets[1].maxColumn, 2);
    }
};

QTEST_GUILESS_MAIN(EmbeddedImportTest)
#include "tst_embeddedimport.moc"
