#include "cells/workbookwriter.h"
#include "embedded/embeddedapplication.h"

#include "support/workbookreadback.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <memory>

using namespace engine;

namespace {

using FieldInfo = QList<QPair<int, int>>;
using ColumnTypes = QMap<int, int>;

ColumnTypes typesOf(const ImportOptions& options)
{
    ColumnTypes types;
    for (const auto& [column, type] : options.columnTypes)
        types.insert(column, int(type));
    return types;
}

} // namespace

Q_DECLARE_METATYPE(FieldInfo)
Q_DECLARE_METATYPE(ColumnTypes)

class EmbeddedApplicationTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_app = std::make_unique<EmbeddedApplication>();
    }

    void fieldInfo_data()
    {
        QTest::addColumn<FieldInfo>("fieldInfo");
        QTest::addColumn<ColumnTypes>("expected");
        QTest::newRow("none") << FieldInfo{} << ColumnTypes{};
        QTest::newRow("any order") << FieldInfo{{3, 2}, {1, 2}, {2, 5}} << ColumnTypes{{1, 2}, {2, 5}, {3, 2}};
        QTest::newRow("column zero and below ignored") << FieldInfo{{0, 2}, {-4, 2}, {2, 9}} << ColumnTypes{{2, 9}};
        QTest::newRow("last pair holds") << FieldInfo{{2, 2}, {2, 1}} << ColumnTypes{{2, 1}};
        QTest::newRow("10 and unknown are General")
            << FieldInfo{{1, 10}, {2, 0}, {3, 77}} << ColumnTypes{{1, 1}, {2, 1}, {3, 1}};
        QTest::newRow("every date order") << FieldInfo{{1, 3}, {2, 4}, {3, 5}, {4, 6}, {5, 7}, {6, 8}}
                                          << ColumnTypes{{1, 3}, {2, 4}, {3, 5}, {4, 6}, {5, 7}, {6, 8}};
    }

    void fieldInfo()
    {
        QFETCH(FieldInfo, fieldInfo);
        QFETCH(ColumnTypes, expected);
        OpenTextArguments arguments;
        arguments.fieldInfo = fieldInfo;
        ImportOptions options;
        QString error;
        QVERIFY(importOptionsFor(arguments, &options, &error));
        QCOMPARE(typesOf(options), expected);
    }

    void otherArguments_data()
    {
        QTest::addColumn<int>("qualifier");
        QTest::addColumn<bool>("other");
        QTest::addColumn<QVariant>("otherChar");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<uint>("expectedQualifier");
        QTest::addColumn<uint>("expectedOther");
        QTest::newRow("double quote") << 1 << false << QVariant("|") << true << uint('"') << 0u;
        QTest::newRow("single quote") << 2 << false << QVariant() << true << uint('\'') << 0u;
        QTest::newRow("no qualifier") << -4142 << false << QVariant() << true << 0u << 0u;
        QTest::newRow("unknown qualifier") << 5 << false << QVariant() << false << 0u << 0u;
        QTest::newRow("other takes the first character")
            << 1 << true << QVariant("|;") << true << uint('"') << uint('|');
        QTest::newRow("other beyond the basic plane") << 1 << true << QVariant("😀x") << true << uint('"') << 0x1F600u;
        QTest::newRow("other from a number") << 1 << true << QVariant(936) << true << uint('"') << uint('9');
        QTest::newRow("other with nothing") << 1 << true << QVariant("") << true << uint('"') << 0u;
    }

    void otherArguments()
    {
        QFETCH(int, qualifier);
        QFETCH(bool, other);
        QFETCH(QVariant, otherChar);
        QFETCH(bool, accepted);
        QFETCH(uint, expectedQualifier);
        QFETCH(uint, expectedOther);
        OpenTextArguments arguments;
        arguments.origin = 65001;
        arguments.startRow = 3;
        arguments.textQualifier = qualifier;
        arguments.consecutiveDelimiter = true;
        arguments.semicolon = arguments.space = true;
        arguments.other = other;
        arguments.otherChar = otherChar;
        ImportOptions options;
        QString error;
        QCOMPARE(importOptionsFor(arguments, &options, &error), accepted);
        if (!accepted) {
            QVERIFY(!error.isEmpty());
            return;
        }
        QCOMPARE(uint(options.qualifier), expectedQualifier);
        QCOMPARE(uint(options.other), expectedOther);
        QCOMPARE(options.codePage, 65001);
        QCOMPARE(options.startRow, 3);
        QVERIFY(options.consecutiveDelimiters && options.semicolon && options.space);
        QVERIFY(!options.tab && !options.comma);
    }

    void sheetNameFromFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "/data/订单.txt"
                               << "订单";
        QTest::newRow("dots in the name") << "/data/report.2024.txt"
                                          << "report.2024";
        QTest::newRow("forbidden characters") << "/data/a[1]:b*c?d\\e.txt"
                                              << "a_1__b_c_d_e";
        QTest::newRow("long name cut") << "/data/" + QString(40, 'n') + ".txt" << QString(31, 'n');
    }

    void sheetNameFromFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(importedSheetName(path), name);
    }

    // Import by recognition decodes GBK and UTF-8 and splits at tabs; the sheet is named after
    // the file.
    void openByRecognition_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("age");
        QTest::addColumn<QString>("city");
        QTest::newRow("GBK") << "recognition_gbk.txt"
                             << "张三" << 30.0 << "北京市";
        QTest::newRow("UTF-8") << "recognition_utf8.txt"
                               << "李四" << 41.0 << "上海市";
    }

    void openByRecognition()
    {
        QFETCH(QString, file);
        QFETCH(QString, name);
        QFETCH(double, age);
        QFETCH(QString, city);
        Workbook* book = m_app->workbooks()->open(QStringLiteral(QUILLMORNE_TEST_DATA "/") + file);
        QVERIFY2(book, qPrintable(m_app->workbooks()->failure().text()));
        QCOMPARE(m_app->activeWorkbook(), book);
        const QString path = m_dir->filePath("recognised.xlsx");
        QVERIFY2(book->saveAs(path, FileFormatXlsx), qPrintable(book->failure().text()));

        const ReadWorkbook read = readWorkbookBack(path);
        QVERIFY2(read.ok, qPrintable(read.error));
        const ReadSheet& sheet = read.sheets[0];
        QCOMPARE(sheet.name, QFileInfo(file).completeBaseName());
        QCOMPARE(sheet.at(1, 1).value.toString(), QString("姓名"));
        QCOMPARE(sheet.at(2, 1).value.toString(), name);
        QCOMPARE(sheet.at(2, 2).type, QString("n"));
        QCOMPARE(sheet.at(2, 2).value.toDouble(), age);
        QCOMPARE(sheet.at(2, 3).value.toString(), city);
    }

    void unreadableFilesGiveNoWorkbook()
    {
        QVERIFY(m_app->workbooks()->add());
        Workbook* before = m_app->activeWorkbook();

        QVERIFY(!m_app->workbooks()->open(m_dir->filePath("missing.txt")));
        QVERIFY(m_app->workbooks()->failure().isFailure());
        OpenTextArguments arguments;
        arguments.fileName = m_dir->filePath("missing.txt");
        QVERIFY(!m_app->workbooks()->openText(arguments));
        QVERIFY(m_app->workbooks()->failure().isFailure());

        arguments.fileName = QStringLiteral(QUILLMORNE_TEST_DATA "/recognition_utf8.txt");
        arguments.dataType = 2;
        QVERIFY(!m_app->workbooks()->openText(arguments));
        QCOMPARE(m_app->workbooks()->failure().reason, Reason::UnsupportedImport);
        QCOMPARE(m_app->activeWorkbook(), before);
    }

    void cellValues_data()
    {
        QTest::addColumn<bool>("textColumn");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expectedType");
        QTest::addColumn<QVariant>("expectedValue");
        QTest::addColumn<QString>("expectedFormat");

        QTest::newRow("number text recognised") << false << QVariant("12") << "n" << QVariant(12.0) << "General";
        QTest::newRow("number text in @ column") << true << QVariant("12") << "s" << QVariant("12") << "@";
        QTest::newRow("leading zero stays text") << false << QVariant("007") << "s" << QVariant("007") << "General";
        QTest::newRow("boolean text recognised") << false << QVariant("TRUE") << "b" << QVariant(true) << "General";
        QTest::newRow("boolean text in @ column") << true << QVariant("TRUE") << "s" << QVariant("TRUE") << "@";
        QTest::newRow("formula-like text") << false << QVariant("=1+1") << "s" << QVariant("=1+1") << "General";
        QTest::newRow("blanks kept in @ column") << true << QVariant(" a ") << "s" << QVariant(" a ") << "@";
        QTest::newRow("empty string") << false << QVariant("") << "" << QVariant() << "";
        QTest::newRow("integer") << false << QVariant(5) << "n" << QVariant(5.0) << "General";
        QTest::newRow("double") << false << QVariant(2.25) << "n" << QVariant(2.25) << "General";
        QTest::newRow("boolean") << false << QVariant(false) << "b" << QVariant(false) << "General";
        QTest::newRow("decimal of 17 integer digits kept as written")
            << false << QVariant("12345678901234567.89") << "s" << QVariant("12345678901234567.89") << "General";
        QTest::newRow("decimal of 15 integer digits is a number")
            << false << QVariant("-123456789012345.5") << "n" << QVariant(-123456789012345.5) << "General";
        QTest::newRow("integer of 18 digits kept as digits")
            << false << QVariant(Q_INT64_C(110101199003071234)) << "s" << QVariant("110101199003071234") << "General";
        QTest::newRow("round integer of 18 digits is a number")
            << false << QVariant(Q_INT64_C(100000000000000000)) << "n" << QVariant(1e17) << "General";
        QTest::newRow("not a number kept as text")
            << false << QVariant(std::nan("")) << "s" << QVariant("nan") << "General";
        QTest::newRow("date") << false << QVariant(QDate(2024, 1, 5)) << "d" << QVariant("2024-01-05T00:00:00")
                              << "yyyy-mm-dd";
        QTest::newRow("date in January 1900")
            << false << QVariant(QDate(1900, 1, 2)) << "d" << QVariant("1900-01-02T00:00:00") << "yyyy-mm-dd";
        QTest::newRow("last date before the leap day 1900 never had")
            << false << QVariant(QDate(1900, 2, 28)) << "d" << QVariant("1900-02-28T00:00:00") << "yyyy-mm-dd";
        QTest::newRow("first date after it")
            << false << QVariant(QDate(1900, 3, 1)) << "d" << QVariant("1900-03-01T00:00:00") << "yyyy-mm-dd";
        QTest::newRow("date before 1900 as text")
            << false << QVariant(QDate(1899, 12, 1)) << "s" << QVariant("1899-12-01") << "General";
        QTest::newRow("date and time") << false << QVariant(QDateTime(QDate(2024, 1, 5), QTime(13, 45, 30))) << "d"
                                       << QVariant("2024-01-05T13:45:30") << "yyyy-mm-dd hh:mm:ss";
        QTest::newRow("time") << false << QVariant(QTime(13, 45, 30)) << "d" << QVariant("13:45:30") << "hh:mm:ss";
    }

    // What setValue stores, as the written workbook shows it: strings are recognised like a
    // General field unless the column holds text; typed values keep their type.
    void cellValues()
    {
        QFETCH(bool, textColumn);
        QFETCH(QVariant, value);
        QFETCH(QString, expectedType);
        QFETCH(QVariant, expectedValue);
        QFETCH(QString, expectedFormat);

        QVERIFY(m_app->workbooks()->add());
        Worksheet* sheet = m_app->activeSheet();
        QVERIFY(sheet);
        if (textColumn)
            QVERIFY(sheet->columns(2)->setNumberFormatLocal("@"));
        QVERIFY(sheet->cells(3, 2)->setValue(value));
        QVERIFY(sheet->cells(1, 1)->setValue("anchor"));
        const QString path = m_dir->filePath("values.xlsx");
        QVERIFY2(m_app->activeWorkbook()->saveAs(path, FileFormatXlsx),
                 qPrintable(m_app->activeWorkbook()->failure().text()));

        const ReadWorkbook read = readWorkbookBack(path);
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(read.sheets[0].name, QString("Sheet1"));
        const ReadCell cell = read.sheets[0].at(3, 2);
        QCOMPARE(cell.type, expectedType);
        if (expectedType == "n")
            QCOMPARE(cell.value.toDouble(), expectedValue.toDouble());
        else if (expectedType == "b")
            QCOMPARE(cell.value.toBool(), expectedValue.toBool());
        else if (!expectedType.isEmpty())
            QCOMPARE(cell.value.toString(), expectedValue.toString());
        if (!expectedType.isEmpty())
            QCOMPARE(cell.numberFormat, expectedFormat);
    }

    // Setting a cell again replaces it; an empty value clears it; a cell given "@" keeps text.
    void cellsSetAgain()
    {
        QVERIFY(m_app->workbooks()->add());
        Worksheet* sheet = m_app->activeSheet();
        QVERIFY(sheet->cells(1, 1)->setValue("1"));
        QVERIFY(sheet->cells(1, 1)->setValue("2"));
        QVERIFY(sheet->cells(1, 2)->setValue("gone"));
        QVERIFY(sheet->cells(1, 2)->setValue(QVariant()));
        QVERIFY(sheet->cells(2, 1)->setNumberFormatLocal("@"));
        QVERIFY(sheet->cells(2, 1)->setValue("0012"));
        QVERIFY(sheet->cells(2, 2)->setValue("0012"));
        QVERIFY(!sheet->cells(2, 2)->setNumberFormatLocal("#,##0.000 [unknown]"));
        const QString path = m_dir->filePath("again.xlsx");
        QVERIFY(m_app->activeWorkbook()->saveAs(path, FileFormatXlsx));
        const ReadWorkbook read = readWorkbookBack(path);
        QVERIFY2(read.ok, qPrintable(read.error));
        const ReadSheet& s = read.sheets[0];
        QCOMPARE(s.at(1, 1).value.toDouble(), 2.0);
        QCOMPARE(s.at(1, 2).type, QString());
        QCOMPARE(s.at(2, 1).value.toString(), QString("0012"));
        QCOMPARE(s.at(2, 1).numberFormat, QString("@"));
        QCOMPARE(s.cells.size(), 3);
    }

    void limits()
    {
        QVERIFY(m_app->workbooks()->add());
        Worksheet* sheet = m_app->activeSheet();
        QVERIFY(!sheet->columns(0));
        QVERIFY(!sheet->columns(-1));
        QVERIFY(!sheet->columns(embeddedMaxColumns + 1));
        QVERIFY(sheet->columns(embeddedMaxColumns));
        QVERIFY(!sheet->cells(0, 1));
        QVERIFY(!sheet->cells(1, 0));
        QVERIFY(!sheet->cells(1, embeddedMaxColumns + 1));
        QVERIFY(sheet->cells(INT_MAX, 1));
        QVERIFY(sheet->cells(1, embeddedMaxColumns));
    }

    // A cell beyond what .xlsx can hold is not refused silently: the save cuts it and says so.
    void cellBeyondTheFormatIsReported()
    {
        QVERIFY(m_app->workbooks()->add());
        Worksheet* sheet = m_app->activeSheet();
        QVERIFY(sheet->cells(1, 1)->setValue("kept"));
        QVERIFY(sheet->cells(1, 16385)->setValue("far"));
        Workbook* book = m_app->activeWorkbook();
        const QString path = m_dir->filePath("far.xlsx");
        QVERIFY2(book->saveAs(path, FileFormatXlsx), qPrintable(book->failure().text()));
        QCOMPARE(book->warnings().size(), 1);
        QVERIFY2(book->warnings()[0].startsWith("第 1 行"), qPrintable(book->warnings()[0]));
        const ReadWorkbook read = readWorkbookBack(path);
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(read.sheets.size(), 2);
        QCOMPARE(read.sheets[0].at(1, 1).value.toString(), QString("kept"));
    }

    void activeWorkbookFollowsOpenAndClose()
    {
        QVERIFY(m_app->workbooks());
        QVERIFY(!m_app->activeWorkbook());
        QVERIFY(!m_app->activeSheet());

        QVERIFY(m_app->workbooks()->add());
        Workbook* first = m_app->activeWorkbook();
        Workbook* second = m_app->workbooks()->open(QStringLiteral(QUILLMORNE_TEST_DATA "/recognition_utf8.txt"));
        QVERIFY(second && second != first);
        QCOMPARE(m_app->activeWorkbook(), second);
        QVERIFY(m_app->workbooks()->add());
        Workbook* third = m_app->activeWorkbook();
        Range* kept = m_app->activeSheet()->cells(1, 1);

        QVERIFY(second->close(false));
        QCOMPARE(m_app->activeWorkbook(), third);
        QVERIFY(third->close(false));
        QCOMPARE(m_app->activeWorkbook(), first);
        QVERIFY(m_app->activeSheet());

        // Objects of a closed workbook stay safe to use; they do nothing.
        QVERIFY(!kept->setValue("late"));
        QVERIFY(!third->saveAs(m_dir->filePath("closed.xlsx"), FileFormatXlsx));
        QVERIFY(!QFile::exists(m_dir->filePath("closed.xlsx")));

        m_app->quit();
        QVERIFY(!m_app->activeWorkbook());
        QVERIFY(!m_app->activeSheet());
        QVERIFY(m_app->workbooks()); // still there for the next run
        QVERIFY(m_app->reportsSaveFailures());
    }

    void unknownFileFormatWritesNothing()
    {
        QVERIFY(m_app->workbooks()->add());
        m_app->activeSheet()->cells(1, 1)->setValue("x");
        Workbook* book = m_app->activeWorkbook();
        QVERIFY(!book->saveAs(m_dir->filePath("x.xlsx"), 77));
        QCOMPARE(book->failure().reason, Reason::UnknownFileFormat);
        QCOMPARE(book->failure().detail, QStringLiteral("格式代码 77 (51 为 .xlsx, 56 为 .xls)"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        // The workbook is still whole: a right code saves it afterwards.
        QVERIFY(book->saveAs(m_dir->filePath("x.xlsx"), FileFormatXlsx));
    }

    // An imported workbook can be saved more than once, with the same bytes, and takes changes
    // made cell by cell afterwards; what its decoding repaired stays said, beside warnings added
    // by the caller.
    void importedWorkbookSavedAgainAndChanged()
    {
        const QString source = m_dir->filePath("source.txt");
        QVERIFY(writeBytes(source, "a\t1\nb\xff\t2\n"));
        const QString repaired = QStringLiteral("第 2 行：1 个字符无法按 UTF-8 解码，已替换为 U+FFFD (\uFFFD)");
        OpenTextArguments arguments;
        arguments.fileName = source;
        arguments.origin = 65001;
        arguments.tab = true;
        QVERIFY2(m_app->workbooks()->openText(arguments), qPrintable(m_app->workbooks()->failure().text()));
        Workbook* book = m_app->activeWorkbook();
        QVERIFY(book);
        const QString first = m_dir->filePath("first.xlsx");
        const QString second = m_dir->filePath("second.xlsx");
        QVERIFY2(book->saveAs(first, FileFormatXlsx), qPrintable(book->failure().text()));
        QVERIFY2(book->saveAs(second, FileFormatXlsx), qPrintable(book->failure().text()));
        QCOMPARE(readBytes(first), readBytes(second));
        QCOMPARE(book->warnings(), QStringList{repaired});
        QCOMPARE(book->saveFacts().rows, 2);
        QCOMPARE(book->saveFacts().encoding, QString("UTF-8"));

        QVERIFY(m_app->activeSheet()->cells(3, 1)->setValue("c"));
        QVERIFY(book->addWarning("added"));
        const QString changed = m_dir->filePath("changed.xlsx");
        QVERIFY2(book->saveAs(changed, FileFormatXlsx), qPrintable(book->failure().text()));
        QCOMPARE(book->warnings(), (QStringList{repaired, "added"}));
        QCOMPARE(book->saveFacts().rows, 3);
        QCOMPARE(book->saveFacts().sheets, 1);
        QCOMPARE(book->saveFacts().encoding, QString("UTF-8"));
        const ReadWorkbook read = readWorkbookBack(changed);
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(read.sheets[0].name, QString("source"));
        QCOMPARE(read.sheets[0].at(2, 2).value.toDouble(), 2.0);
        QCOMPARE(read.sheets[0].at(3, 1).value.toString(), QString("c"));
    }

    void addedWorkbookSavesSameBytes()
    {
        QByteArray saved[2];
        for (QByteArray& bytes : saved) {
            QVERIFY(m_app->workbooks()->add());
            m_app->activeSheet()->cells(1, 1)->setValue("same");
            m_app->activeSheet()->cells(2, 2)->setValue(QDate(2024, 2, 29));
            const QString path = m_dir->filePath("same.xlsx");
            QVERIFY(m_app->activeWorkbook()->saveAs(path, FileFormatXlsx));
            bytes = readBytes(path);
            QTest::qWait(1100);
        }
        QVERIFY(!saved[0].isEmpty());
        QVERIFY(saved[0] == saved[1]);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<EmbeddedApplication> m_app;
};

QTEST_GUILESS_MAIN(EmbeddedApplicationTest)
#include "tst_embeddedapplication.moc"
