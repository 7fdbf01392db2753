#pragma once
// The COM binding of the spreadsheet automation interface: every operation is one late-bound call
// on an automation object bound to "Excel.Application", with the application's member strings
// passed exactly as its object model spells them.

#include "automation/automation.h"
#include "platform/automationobject.h"

#include <memory>

class ComObjectStore;

// Drives an installed spreadsheet application through an automation object. It owns the root
// object and every Workbooks, Workbook, Worksheet and Range it hands out; all of them, and every
// automation sub-object behind them, are released when it is destroyed. Calls are not checked:
// only the presence of a requested sub-object is reported, so a caller must look at the output
// file after a save (reportsSaveFailures() is false).
class ComSpreadsheetApplication : public SpreadsheetApplication
{
    Q_OBJECT
public:
    ComSpreadsheetApplication(std::unique_ptr<AutomationObject> root, QObject* parent = nullptr);
    ~ComSpreadsheetApplication() override;

    bool bind(const QString& progId) override;
    void setVisible(bool visible) override;
    void setDisplayAlerts(bool displayAlerts) override;
    Workbooks* workbooks() override;
    Workbook* activeWorkbook() override;
    Worksheet* activeSheet() override;
    void quit() override;
    bool reportsSaveFailures() const override { return false; }

private:
    // Declared first so it is destroyed last: the handed-out objects refer into it.
    std::unique_ptr<AutomationObject> m_root;
    std::unique_ptr<ComObjectStore> m_store;
};

// The COM binding over a fresh ActiveQt object (Windows only). It initialises COM on the calling
// thread first, as a multithreaded apartment. The caller (or `parent`) owns the result.
SpreadsheetApplication* createComSpreadsheetApplication(QObject* parent);
