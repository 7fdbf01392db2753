#include "text/textimport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace engine;

Q_DECLARE_METATYPE(Reason)

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

QString describe(const Cell& cell)
{
    switch (cell.type) {
    case CellType::Empty:
        return QStringLiteral("-");
    case CellType::Boolean:
        return cell.number ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    case CellType::Number:
        return QString::number(cell.number, 'g', 17) +
               (cell.format == NumberFormat::General
                    ? QString()
                    : QLatin1Char('#') + QString::fromUtf8(numberFormatCode(cell.format)));
    case CellType::Text:
        return QLatin1Char('\'') + QString::fromUtf8(cell.text.data(), int(cell.text.size())) +
               (cell.format == NumberFormat::Text ? QStringLiteral("#@") : QString());
    }
    return {};
}

// "index@line:cell|cell" for every row.
QStringList drain(RowSource& source)
{
    QStringList rows;
    RowView row;
    while (source.nextRow(row)) {
        QStringList cells;
        for (int c = 0; c < row.count; ++c)
            cells << describe(row.cells[c]);
        rows << QStringLiteral("%1@%2:%3").arg(row.index).arg(row.sourceLine).arg(cells.join(QLatin1Char('|')));
    }
    return rows;
}

} // namespace

class TextImportTest : public QObject
{
    Q_OBJECT
private slots:
    // Fixture files in the encodings the converter meets, read through the whole import.
    void fixtures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("codePage");
        QTest::addColumn<bool>("comma");
        QTest::addColumn<QStringList>("expected");
        const QStringList gbk = {"0@1:'姓名|'年龄|'生日", "1@2:'张三|30|45296#yyyy\"年\"m\"月\"d\"日\"",
                                 "2@3:'李四|'007|32939.354166666664#yyyy-mm-dd hh:mm"};
        QTest::newRow("gbk by code page") << "gbk_chinese.txt" << 936 << false << gbk;
        QTest::newRow("gbk recognised") << "gbk_chinese.txt" << 0 << false << gbk;
        const QStringList utf16 = {"0@1:'名前|'value", "1@2:'日本|1500", "2@3:'😀|-12"};
        QTest::newRow("utf-16 bom over utf-8") << "utf16le_bom.txt" << 65001 << false << utf16;
        QTest::newRow("utf-16 bom recognised") << "utf16le_bom.txt" << 0 << false << utf16;
        QTest::newRow("quoted csv with bom")
            << "utf8_bom_quoted.csv" << 936 << true
            << QStringList{"0@1:'id|'note|'flag", "1@2:1|'first line\nsecond, with comma|TRUE",
                           "2@4:2|'say \"hi\"|FALSE", "3@5:3|'\"never closed,x", "4@6:4|'ok"};
    }

    void fixtures()
    {
        QFETCH(QString, file);
        QFETCH(int, codePage);
        QFETCH(bool, comma);
        QFETCH(QStringList, expected);
        ImportOptions options;
        options.codePage = codePage;
        options.tab = !comma;
        options.comma = comma;
        Failure error;
        auto source = openTextImport(QStringLiteral(QUILLMORNE_TEST_DATA "/textimport/") + file, options, &error);
        QVERIFY2(source, qPrintable(error.text()));
        QCOMPARE(drain(*source), expected);
        QVERIFY(!source->failure().isFailure());
    }

    void columnTypesAndRows()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("orders.txt"),
                                       "id,code,note,amount,when\n"
                                       "007,007,x,\"1,234.5\",2024-01-05\n"
                                       "\n"
                                       "8,\"a\nb\",y,12%,TRUE,,\n");
        ImportOptions options;
        options.tab = false;
        options.comma = true;
        options.startRow = 2;
        options.columnTypes = ImportOptions::columnTypesFromFieldInfo({{2, 1}, {3, 9}, {2, 2}, {0, 2}, {6, 10}});
        Failure error;
        std::unique_ptr<RowSource> source = openTextImport(path, options, &error);
        QVERIFY2(source, qPrintable(error.text()));
        // Column 2 is text; column 3 is skipped, so nothing after it keeps its number.
        QCOMPARE(source->columnFormats(), (std::vector<std::pair<int, NumberFormat>>{{1, NumberFormat::Text}}));
        QCOMPARE(drain(*source), (QStringList{
                                     "0@2:'007|'007#@|1234.5|45296#yyyy-mm-dd",
                                     "1@3:",
                                     "2@4:8|'a\nb#@|0.12#0%|TRUE",
                                 }));
        QVERIFY(!source->failure().isFailure());
    }

    void textColumnsAfterSkips()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("a.txt"), "1\t2\t3\t4\n");
        ImportOptions options;
        options.columnTypes = {{1, ColumnType::Skip}, {2, ColumnType::Skip}, {4, ColumnType::Text}};
        Failure error;
        auto source = openTextImport(path, options, &error);
        QVERIFY(source);
        QCOMPARE(source->columnFormats(), (std::vector<std::pair<int, NumberFormat>>{{1, NumberFormat::Text}}));
        QCOMPARE(drain(*source), QStringList{"0@1:3|'4#@"});
    }

    void recognisedEncoding()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("gbk.txt"), "\xD6\xD0\xCE\xC4\t1\r\n");
        ImportOptions options;
        options.codePage = 0;
        Failure error;
        auto source = openTextImport(path, options, &error);
        QVERIFY(source);
        QCOMPARE(drain(*source), QStringList{"0@1:'中文|1"});
    }

    // The file is open from the start, so removing it afterwards changes nothing.
    void fileRemovedAfterOpening()
    {
        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("gone.txt"), "a\tb\n");
        Failure error;
        auto source = openTextImport(path, ImportOptions{}, &error);
        QVERIFY(source);
        QVERIFY(QFile::remove(path));
        QCOMPARE(drain(*source), QStringList{"0@1:'a|'b"});
    }

    void refused_data()
    {
        QTest::addColumn<int>("dataType");
        QTest::addColumn<int>("codePage");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<Reason>("reason");
        QTest::addColumn<QString>("detail");
        QTest::newRow("fixed width") << 2 << 65001 << true << Reason::UnsupportedImport << "固定宽度";
        QTest::newRow("unknown data type") << 7 << 65001 << true << Reason::UnsupportedImport << "7";
        QTest::newRow("unknown code page") << 1 << 4242 << true << Reason::UnsupportedImport << "4242";
        QTest::newRow("missing file") << 1 << 65001 << false << Reason::Vanished << "";
    }

    void refused()
    {
        QFETCH(int, dataType);
        QFETCH(int, codePage);
        QFETCH(bool, exists);
        QFETCH(Reason, reason);
        QFETCH(QString, detail);
        QTemporaryDir dir;
        const QString path = exists ? writeFile(dir, QStringLiteral("x.txt"), "a\n") : dir.filePath("none.txt");
        ImportOptions options;
        options.dataType = dataType;
        options.codePage = codePage;
        Failure error;
        QVERIFY(!openTextImport(path, options, &error));
        QCOMPARE(error.reason, reason);
        QVERIFY2(error.detail.contains(detail), qPrintable(error.text()));
    }

    void argumentHelpers()
    {
        QCOMPARE(ImportOptions::qualifierFromArgument(1), U'"');
        QCOMPARE(ImportOptions::qualifierFromArgument(2), U'\'');
        QCOMPARE(ImportOptions::qualifierFromArgument(-4142), char32_t(0));
        QCOMPARE(ImportOptions::firstCharacter(QStringLiteral("|x")), U'|');
        QCOMPARE(ImportOptions::firstCharacter(QString::fromUtf8("😀x")), U'😀');
        QCOMPARE(ImportOptions::firstCharacter(QString()), char32_t(0));
    }

    void fieldInfo()
    {
        const auto types = ImportOptions::columnTypesFromFieldInfo({{1, 2}, {1, 5}, {-3, 2}, {0, 2}, {4, 10}, {5, 99}});
        QCOMPARE(types,
                 (std::map<int, ColumnType>{{1, ColumnType::YMD}, {4, ColumnType::General}, {5, ColumnType::General}}));
    }
};

QTEST_GUILESS_MAIN(TextImportTest)
#include "tst_textimport.moc"
