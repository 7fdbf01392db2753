#pragma once
// automation/: the spreadsheet automation interface the conversion worker drives (this header) and
// Failure, a reason code with the one table of Chinese failure texts (failure.h). It includes
// nothing else of ours, so every other folder may stand on it.
//
// The spreadsheet automation interface: the operations the conversion engine asks of a
// spreadsheet application, modelled on the application's own object model. Two bindings stand
// behind it: the COM binding (Windows, late-bound calls on "Excel.Application", platform/) and the
// embedded engine (embedded/, everywhere else). The conversion engine sees only this interface;
// the program's entry points choose the binding and hand it to the worker.
//
// Ownership: the application object owns every object it hands out (Workbooks, Workbook,
// Worksheet, Range). They stay valid until the application object is destroyed; destroying it
// releases all of them.

#include "automation/failure.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

// File-format codes of the save request.
constexpr int FileFormatXlsx = 51;
constexpr int FileFormatXls = 56;

// The thirteen values of a delimited text import, in the order the import takes them.
struct OpenTextArguments
{
    QString fileName;
    int origin = 936;      // code page of the file; 2 = the system's 8-bit code page
    int startRow = 1;      // first line that is imported, counted from 1
    int dataType = 1;      // 1 delimited, 2 fixed width
    int textQualifier = 1; // 1 double quote, 2 single quote, -4142 none
    bool consecutiveDelimiter = false;
    bool tab = false;
    bool semicolon = false;
    bool comma = false;
    bool space = false;
    bool other = false;
    QVariant otherChar = 936; // only its first character counts, and only when `other` is set
    // (column, format) pairs; formats 1 General, 2 Text, 3-8 date orders, 9 skip, 10 General.
    QList<QPair<int, int>> fieldInfo;

    // The 13 values as one argument list for a late-bound call; the field info becomes a list of
    // two-element lists of integers.
    QVariantList toVariantList() const;
};

// A column or a cell.
class Range
{
public:
    virtual ~Range() = default;
    virtual bool setNumberFormatLocal(const QString& format) = 0;
    virtual bool setValue(const QVariant& value) = 0;
};

class Worksheet
{
public:
    virtual ~Worksheet() = default;
    // Column n, counted from 1; null when n is outside the application's limits.
    virtual Range* columns(int n) = 0;
    // The cell at (row, column), both counted from 1; null outside the limits.
    virtual Range* cells(int row, int column) = 0;
};

// What a save wrote, where the application knows it (the embedded engine does, a COM application
// does not): the rows and sheets written and the encoding the text was read in.
struct SaveFacts
{
    qint64 rows = -1; // rows of data (continuation sheets included, the warning sheet not)
    int sheets = -1;  // sheets of data
    QString encoding; // "UTF-8", "GB18030", "UTF-16LE", ...; empty for a workbook filled cell by cell
};

class Workbook
{
public:
    virtual ~Workbook() = default;
    // Writes the workbook as .xlsx (51) or .xls (56). Returns false, with failure(), when no
    // complete file was written.
    virtual bool saveAs(const QString& path, int fileFormat) = 0;
    virtual bool close(bool saveChanges) = 0;
    // Why the last call failed.
    virtual Failure failure() const { return {}; }
    // What the workbook could not hold as the text had it (cut columns or characters, characters
    // that could not be decoded, dropped NUL characters), one message each; after a save.
    virtual QStringList warnings() const { return {}; }
    // Adds a warning of the caller's own about what the workbook holds (characters its text had
    // to have replaced, say): it is listed with the workbook's own, on its warning sheet and in
    // warnings(). False when the application keeps no warnings; the caller reports it itself.
    virtual bool addWarning(const QString& warning)
    {
        Q_UNUSED(warning)
        return false;
    }
    virtual SaveFacts saveFacts() const { return {}; }
};

class Workbooks
{
public:
    virtual ~Workbooks() = default;
    // Opens a text file by the application's own recognition; null when it cannot be read.
    virtual Workbook* open(const QString& path) = 0;
    // Imports a delimited text; on success the result is the active workbook.
    virtual bool openText(const OpenTextArguments& arguments) = 0;
    // Adds an empty workbook, which becomes the active one.
    virtual bool add() = 0;
    // Why the last call failed.
    virtual Failure failure() const { return {}; }
};

class SpreadsheetApplication : public QObject
{
    Q_OBJECT
public:
    explicit SpreadsheetApplication(QObject* parent = nullptr) : QObject(parent) {}
    ~SpreadsheetApplication() override = default;

    virtual bool bind(const QString& progId) = 0;
    virtual void setVisible(bool visible) = 0;
    virtual void setDisplayAlerts(bool displayAlerts) = 0;
    // Null when there is no usable application.
    virtual Workbooks* workbooks() = 0;
    virtual Workbook* activeWorkbook() = 0;
    virtual Worksheet* activeSheet() = 0;
    virtual void quit() = 0;
    // True when saves are checked by the application itself (the embedded engine reports every
    // failed save); false when the caller must look at the output file after a save.
    virtual bool reportsSaveFailures() const { return false; }
    // True when the application reads a source text in whatever encoding it is written (the
    // embedded engine); the caller then imports the source itself, with the encoding choice as
    // the import's origin (0 recognise, 1200 UTF-16, 2 the system's 8-bit code page), instead of
    // preparing an import file in the 8-bit code page.
    virtual bool readsSourceTexts() const { return false; }
    // True when several application objects of this binding can work at once, each created and
    // used on a thread of its own (the embedded engine); the worker then converts several files in
    // parallel. An installed application driven over COM serves one run at a time.
    virtual bool servesParallelRuns() const { return false; }
    // Asks an operation in progress on the application's thread to give up soon; it then fails
    // with Reason::Interrupted and leaves no file behind. Callable from any thread; an application
    // that cannot be interrupted ignores it.
    virtual void abort() {}
};

// Creates the application object a run talks to (one binding of this interface). The caller (or
// `parent`) owns the result; null means that no spreadsheet application is available.
using SpreadsheetApplicationFactory = std::function<SpreadsheetApplication*(QObject* parent)>;
