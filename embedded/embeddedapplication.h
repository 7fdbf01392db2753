#pragma once
// embedded/: the embedded spreadsheet application (this header): the automation interface served by
// the engine below it, for imported texts and for workbooks filled cell by cell.
//
// The embedded spreadsheet application: the automation interface served by this program's own
// engine, so no spreadsheet application needs to be installed. Imported texts are streamed from
// the open file when they are saved; workbooks filled cell by cell keep their cells in a
// CellModel until they are saved.

#include "automation/automation.h"
#include "text/importoptions.h"

#include <memory>

namespace engine {

// Largest column (from 1) a cell-by-cell workbook accepts. Generous on purpose: the saver cuts
// what a file format cannot hold and says so, instead of cells being refused silently here.
constexpr int embeddedMaxColumns = 1048576;

class EmbeddedApplication : public SpreadsheetApplication
{
public:
    explicit EmbeddedApplication(QObject* parent = nullptr);
    ~EmbeddedApplication() override;

    bool bind(const QString& progId) override;
    void setVisible(bool visible) override;
    void setDisplayAlerts(bool displayAlerts) override;
    Workbooks* workbooks() override;
    Workbook* activeWorkbook() override;
    Worksheet* activeSheet() override;
    void quit() override;
    bool reportsSaveFailures() const override { return true; }
    // A save in progress stops before its next row and fails with Reason::Interrupted, its
    // temporary workbook removed; every later import or save fails the same way. The application
    // serves one run, and a run that was told to stop now does not go on.
    void abort() override;
    // The engine decodes every encoding itself and reports what it had to repair.
    bool readsSourceTexts() const override { return true; }
    // Each application object has state of its own only: several convert files side by side.
    bool servesParallelRuns() const override { return true; }

    struct State;

private:
    std::unique_ptr<State> m_state;
};

// The import options that the thirteen values of a delimited text import stand for. False, with
// `errorString`, for an unknown text qualifier; a data type the import cannot read (fixed
// width) is refused by the import itself.
bool importOptionsFor(const OpenTextArguments& arguments, ImportOptions* options, QString* errorString);

// The options of an import by recognition: code page recognised, tab-delimited, double-quote
// qualifier, no merging, every column General.
ImportOptions recognitionImportOptions();

// The name a sheet imported from `path` carries: the file's base name, made a valid sheet name.
QString importedSheetName(const QString& path);

} // namespace engine
