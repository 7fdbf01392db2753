#include "platform/comspreadsheetapplication.h"

#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

// Checks the COM binding over a recording stand-in of the automation object: every operation
// must reach the application as one late-bound call with the exact member string, argument
// types and values that the spreadsheet application's type library expects, on the right object.

namespace {

// What the recording objects share: the call log, the members that yield no sub-object, and
// which objects exist.
struct Recording
{
    QStringList calls;
    QSet<QByteArray> missingMembers;
    QStringList alive;
    QStringList destroyed;
};

// "type:value", recursively for lists, so a QString "936" never passes for an int 936.
QString describe(const QVariant& value)
{
    if (value.userType() == QMetaType::QVariantList) {
        QStringList items;
        for (const QVariant& item : value.toList())
            items << describe(item);
        return QStringLiteral("[%1]").arg(items.join(QStringLiteral(", ")));
    }
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(value.typeName()), value.toString());
}

QString describe(const QVariantList& values)
{
    return describe(QVariant(values));
}

class RecordingObject final : public AutomationObject
{
public:
    RecordingObject(QString name, Recording* recording) : m_name(std::move(name)), m_recording(recording)
    {
        m_recording->alive << m_name;
    }
    ~RecordingObject() override
    {
        m_children.clear();
        m_recording->alive.removeOne(m_name);
        m_recording->destroyed << m_name;
    }

    bool setControl(const QString& control) override
    {
        log(QStringLiteral("bind"), control.toUtf8(), {});
        return true;
    }
    QVariant dynamicCall(const char* member, const QVariantList& args) override
    {
        log(QStringLiteral("call"), member, args);
        return {};
    }
    AutomationObject* querySubObject(const char* member, const QVariantList& args) override
    {
        log(QStringLiteral("object"), member, args);
        if (m_recording->missingMembers.contains(member))
            return nullptr;
        m_children.push_back(std::make_unique<RecordingObject>(m_name + QLatin1Char('.') + member, m_recording));
        return m_children.back().get();
    }
    bool setProperty(const char* name, const QVariant& value) override
    {
        log(QStringLiteral("property"), name, {value});
        return true;
    }

private:
    void log(const QString& kind, const QByteArray& member, const QVariantList& args)
    {
        m_recording->calls
            << QStringLiteral("%1 %2 \"%3\" %4").arg(m_name, kind, QString::fromUtf8(member), describe(args));
    }

    QString m_name;
    Recording* m_recording;
    std::vector<std::unique_ptr<RecordingObject>> m_children;
};

using Operation = std::function<void(SpreadsheetApplication&)>;
using NullCheck = std::function<bool(SpreadsheetApplication&)>;

const QString OpenTextCall =
    QStringLiteral("app.WorkBooks call "
                   "\"OpenText(const QString&,int,int,int,int,bool,bool,bool,bool,bool,bool,int,QList<LongLong>)\" ");

OpenTextArguments importArguments(QList<QPair<int, int>> fieldInfo)
{
    OpenTextArguments arguments;
    arguments.fileName = QStringLiteral("/tmp/run/orders.txt");
    arguments.fieldInfo = std::move(fieldInfo);
    return arguments;
}

} // namespace

Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(NullCheck)

class ComBindingTest : public QObject
{
    Q_OBJECT
private slots:
    void callsReachTheApplicationVerbatim_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QStringList>("expectedCalls");

        QTest::newRow("bind to the ProgID")
            << Operation([](SpreadsheetApplication& app) { app.bind(QStringLiteral("Excel.Application")); })
            << QStringList{R"c(app bind "Excel.Application" [])c"};
        QTest::newRow("invisible: the flag travels as the string false")
            << Operation([](SpreadsheetApplication& app) { app.setVisible(false); })
            << QStringList{R"c(app call "SetVisible (bool Visible)" [QString:false])c"};
        QTest::newRow("alerts off is a property write")
            << Operation([](SpreadsheetApplication& app) { app.setDisplayAlerts(false); })
            << QStringList{R"c(app property "DisplayAlerts" [bool:false])c"};
        QTest::newRow("workbooks") << Operation([](SpreadsheetApplication& app) { app.workbooks(); })
                                   << QStringList{R"c(app object "WorkBooks" [])c"};
        QTest::newRow("open by recognition")
            << Operation([](SpreadsheetApplication& app) { app.workbooks()->open(QStringLiteral("/data/in/a.txt")); })
            << QStringList{R"c(app object "WorkBooks" [])c",
                           R"c(app.WorkBooks object "Open(const QString&)" [QString:/data/in/a.txt])c"};

        // The 13 import values go as one list; the field info is a list of [column, format] lists.
        QTest::newRow("open text, tab, text columns 2,3,4")
            << Operation([](SpreadsheetApplication& app) {
                   OpenTextArguments arguments = importArguments({{2, 2}, {3, 2}, {4, 2}});
                   arguments.tab = true;
                   app.workbooks()->openText(arguments);
               })
            << QStringList{R"c(app object "WorkBooks" [])c",
                           OpenTextCall + "[QString:/tmp/run/orders.txt, int:936, int:1, int:1, int:1, bool:false, "
                                          "bool:true, bool:false, bool:false, bool:false, bool:false, int:936, "
                                          "[[int:2, int:2], [int:3, int:2], [int:4, int:2]]]"};
        QTest::newRow("open text, comma, merged delimiters, default field info")
            << Operation([](SpreadsheetApplication& app) {
                   OpenTextArguments arguments = importArguments({{1, 1}, {2, 1}});
                   arguments.comma = true;
                   arguments.consecutiveDelimiter = true;
                   app.workbooks()->openText(arguments);
               })
            << QStringList{R"c(app object "WorkBooks" [])c",
                           OpenTextCall + "[QString:/tmp/run/orders.txt, int:936, int:1, int:1, int:1, bool:true, "
                                          "bool:false, bool:false, bool:true, bool:false, bool:false, int:936, "
                                          "[[int:1, int:1], [int:2, int:1]]]"};
        QTest::newRow("open text, space, UTF-8 code page")
            << Operation([](SpreadsheetApplication& app) {
                   OpenTextArguments arguments = importArguments({{1, 1}, {2, 1}});
                   arguments.space = true;
                   arguments.origin = 65001;
                   app.workbooks()->openText(arguments);
               })
            << QStringList{R"c(app object "WorkBooks" [])c",
                           OpenTextCall + "[QString:/tmp/run/orders.txt, int:65001, int:1, int:1, int:1, bool:false, "
                                          "bool:false, bool:false, bool:false, bool:true, bool:false, int:936, "
                                          "[[int:1, int:1], [int:2, int:1]]]"};
        QTest::newRow("add an empty workbook")
            << Operation([](SpreadsheetApplication& app) { app.workbooks()->add(); })
            << QStringList{R"c(app object "WorkBooks" [])c", R"c(app.WorkBooks call "Add" [])c"};
        QTest::newRow("active workbook and sheet") << Operation([](SpreadsheetApplication& app) {
            app.activeWorkbook();
            app.activeSheet();
        }) << QStringList{R"c(app object "ActiveWorkBook" [])c", R"c(app object "ActiveSheet" [])c"};
        QTest::newRow("text format on a column")
            << Operation([](SpreadsheetApplication& app) {
                   app.activeSheet()->columns(3)->setNumberFormatLocal(QStringLiteral("@"));
               })
            << QStringList{R"c(app object "ActiveSheet" [])c", R"c(app.ActiveSheet object "Columns(int)" [int:3])c",
                           R"c(app.ActiveSheet.Columns(int) property "NumberFormatLocal" [QString:@])c"};
        QTest::newRow("a cell's value")
            << Operation([](SpreadsheetApplication& app) {
                   app.activeSheet()->cells(2, 5)->setValue(QStringLiteral("0012"));
               })
            << QStringList{R"c(app object "ActiveSheet" [])c",
                           R"c(app.ActiveSheet object "Cells(int, int)" [int:2, int:5])c",
                           R"c(app.ActiveSheet.Cells(int, int) call "SetValue(const QVariant&)" [QString:0012])c"};
        QTest::newRow("save as xlsx")
            << Operation([](SpreadsheetApplication& app) {
                   app.activeWorkbook()->saveAs(QStringLiteral("/data/out/a.xlsx"), FileFormatXlsx);
               })
            << QStringList{
                   R"c(app object "ActiveWorkBook" [])c",
                   R"c(app.ActiveWorkBook call "SaveAs(const QString&, QVariant)" [QString:/data/out/a.xlsx, int:51])c"};
        QTest::newRow("save as xls")
            << Operation([](SpreadsheetApplication& app) {
                   app.activeWorkbook()->saveAs(QStringLiteral("/data/out/a.xls"), FileFormatXls);
               })
            << QStringList{
                   R"c(app object "ActiveWorkBook" [])c",
                   R"c(app.ActiveWorkBook call "SaveAs(const QString&, QVariant)" [QString:/data/out/a.xls, int:56])c"};
        QTest::newRow("close without saving")
            << Operation([](SpreadsheetApplication& app) { app.activeWorkbook()->close(false); })
            << QStringList{R"c(app object "ActiveWorkBook" [])c",
                           R"c(app.ActiveWorkBook call "Close (Boolean)" [bool:false])c"};
        QTest::newRow("quit") << Operation([](SpreadsheetApplication& app) { app.quit(); })
                              << QStringList{R"c(app call "Quit(void)" [])c"};
        QTest::newRow("column 0 is refused without a call")
            << Operation([](SpreadsheetApplication& app) { QVERIFY(!app.activeSheet()->columns(0)); })
            << QStringList{R"c(app object "ActiveSheet" [])c"};
    }

    void callsReachTheApplicationVerbatim()
    {
        QFETCH(Operation, operation);
        QFETCH(QStringList, expectedCalls);

        Recording recording;
        ComSpreadsheetApplication app(std::make_unique<RecordingObject>(QStringLiteral("app"), &recording));
        operation(app);
        QCOMPARE(recording.calls, expectedCalls);
    }

    void missingSubObjectGivesNull_data()
    {
        QTest::addColumn<QByteArray>("missingMember");
        QTest::addColumn<NullCheck>("resultIsNull");

        QTest::newRow("no WorkBooks: no usable application")
            << QByteArray("WorkBooks") << NullCheck([](SpreadsheetApplication& app) { return !app.workbooks(); });
        QTest::newRow("no ActiveWorkBook: the import failed")
            << QByteArray("ActiveWorkBook")
            << NullCheck([](SpreadsheetApplication& app) { return !app.activeWorkbook(); });
        QTest::newRow("no ActiveSheet") << QByteArray("ActiveSheet")
                                        << NullCheck([](SpreadsheetApplication& app) { return !app.activeSheet(); });
        QTest::newRow("Open yields nothing: the file was not opened")
            << QByteArray("Open(const QString&)")
            << NullCheck([](SpreadsheetApplication& app) { return !app.workbooks()->open(QStringLiteral("/x.txt")); });
        QTest::newRow("no column") << QByteArray("Columns(int)") << NullCheck([](SpreadsheetApplication& app) {
            return !app.activeSheet()->columns(2);
        });
        QTest::newRow("no cell") << QByteArray("Cells(int, int)") << NullCheck([](SpreadsheetApplication& app) {
            return !app.activeSheet()->cells(1, 1);
        });
    }

    void missingSubObjectGivesNull()
    {
        QFETCH(QByteArray, missingMember);
        QFETCH(NullCheck, resultIsNull);

        Recording recording;
        recording.missingMembers.insert(missingMember);
        ComSpreadsheetApplication app(std::make_unique<RecordingObject>(QStringLiteral("app"), &recording));
        QVERIFY(resultIsNull(app));
    }

    // The run drops the application object through its Qt parent; that must release every
    // automation object obtained during the run, and the handed-out objects before them.
    void destroyingTheApplicationReleasesEverything()
    {
        Recording recording;
        auto parent = std::make_unique<QObject>();
        auto* app = new ComSpreadsheetApplication(std::make_unique<RecordingObject>(QStringLiteral("app"), &recording),
                                                  parent.get());
        QVERIFY(!app->reportsSaveFailures());

        Workbooks* books = app->workbooks();
        QVERIFY(books->open(QStringLiteral("/in/a.txt")));
        books->add();
        Worksheet* sheet = app->activeSheet();
        QVERIFY(sheet->columns(2));
        for (int row = 1; row <= 3; ++row)
            QVERIFY(sheet->cells(row, 1));
        QVERIFY(app->activeWorkbook());
        QCOMPARE(recording.alive.size(),
                 9); // root, WorkBooks, Open, ActiveSheet, Columns, 3 Cells, ActiveWorkBook

        const QStringList created = recording.alive;
        parent.reset();
        QVERIFY2(recording.alive.isEmpty(), qPrintable(recording.alive.join(QLatin1Char(','))));
        QCOMPARE(recording.destroyed.size(), created.size());
        QCOMPARE(recording.destroyed.last(), QStringLiteral("app"));
    }
};

QTEST_APPLESS_MAIN(ComBindingTest)
#include "tst_combinding.moc"
