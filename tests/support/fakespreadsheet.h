#pragma once
// A spreadsheet application double for the conversion engine's tests. It records every call in
// a log, keeps the arguments of each import and each cell write, and "saves" a workbook by
// writing a small text file at the output path (unless told to fail). It can be told to have no
// WorkBooks object, to refuse imports of some files, to fail saves of some files and to hold a
// save until it is aborted; once aborted, every save fails with Reason::Interrupted.

#include "automation/automation.h"

#include <QMap>
#include <QPair>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

struct FakeSpreadsheetBehaviour
{
    bool noWorkbooks = false;
    bool reportsSaveFailures = true;
    QStringList refuseImportOf;      // file names (no folder) whose import gives no workbook
    QStringList failSaveOf;          // output file names whose save fails
    bool saveWithoutWriting = false; // saveAs returns true but writes nothing
    QString removeOnFirstImport;     // a file removed while the first file is imported
    // Output file names whose save lasts until the application is told to abort (then it fails
    // with Reason::Interrupted and writes nothing); without an abort it saves after 60 seconds.
    QStringList holdSaveOf;
    // Called on the run's thread as the run reaches "SaveAs <file name>" or "Cell <row>,<column>".
    std::function<void(const QString& point)> atPoint;
    bool readsSourceTexts = false; // like the embedded engine: imports take the source itself
    QStringList lockedImportOf;    // file names whose import fails as held by another program
};

class FakeSpreadsheetApplication : public SpreadsheetApplication
{
public:
    explicit FakeSpreadsheetApplication(const FakeSpreadsheetBehaviour& behaviour, QObject* parent = nullptr);
    ~FakeSpreadsheetApplication() override;

    bool bind(const QString& progId) override;
    void setVisible(bool visible) override;
    void setDisplayAlerts(bool displayAlerts) override;
    Workbooks* workbooks() override;
    Workbook* activeWorkbook() override;
    Worksheet* activeSheet() override;
    void quit() override;
    bool reportsSaveFailures() const override { return behaviour.reportsSaveFailures; }
    void abort() override { aborted.store(true); }
    void reach(const QString& point) const
    {
        if (behaviour.atPoint)
            behaviour.atPoint(point);
    }
    bool readsSourceTexts() const override { return behaviour.readsSourceTexts; }

    // Shared across instances so a test can inspect what a run did after the run destroyed it.
    static QStringList& log();
    static QList<OpenTextArguments>& imports();
    // Import file contents as they were when imported (the run removes them afterwards).
    static QList<QByteArray>& importedBytes();
    // Cells written cell by cell: "r,c" -> value, and columns set to "@".
    static QMap<QString, QVariant>& cellValues();
    static QList<int>& textColumns();
    static int& liveObjects();
    static void reset();

    class FakeBooks;
    class FakeBook;
    class FakeSheet;
    class FakeRange;

    FakeSpreadsheetBehaviour behaviour;
    std::unique_ptr<FakeBooks> books;
    std::deque<std::unique_ptr<FakeBook>> allBooks;
    std::deque<std::unique_ptr<FakeRange>> ranges;
    std::unique_ptr<FakeSheet> sheet;
    FakeBook* active = nullptr;
    std::atomic<bool> aborted{false};
};

// A factory for MergeObject::setApplicationFactory.
SpreadsheetApplicationFactory fakeSpreadsheetFactory(const FakeSpreadsheetBehaviour& behaviour);
