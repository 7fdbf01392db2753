#include "platform/comspreadsheetapplication.h"

#include <QDir>

#include <vector>

// Member strings of the spreadsheet application's object model. ActiveQt matches them against the
// type library's prototypes, so they are kept exactly as the application's own callers spell them.
namespace member {
constexpr char SetVisible[] = "SetVisible (bool Visible)";
constexpr char DisplayAlerts[] = "DisplayAlerts";
constexpr char Workbooks[] = "WorkBooks";
constexpr char Open[] = "Open(const QString&)";
constexpr char OpenText[] =
    "OpenText(const QString&,int,int,int,int,bool,bool,bool,bool,bool,bool,int,QList<LongLong>)";
constexpr char Add[] = "Add";
constexpr char ActiveWorkbook[] = "ActiveWorkBook";
constexpr char ActiveSheet[] = "ActiveSheet";
constexpr char Columns[] = "Columns(int)";
constexpr char NumberFormatLocal[] = "NumberFormatLocal";
constexpr char Cells[] = "Cells(int, int)";
constexpr char SetValue[] = "SetValue(const QVariant&)";
constexpr char SaveAs[] = "SaveAs(const QString&, QVariant)";
constexpr char Close[] = "Close (Boolean)";
constexpr char Quit[] = "Quit(void)";
} // namespace member

// Keeps every interface object the application has handed out, so that they live exactly as
// long as the application object and the automation objects they wrap.
class ComObjectStore
{
public:
    struct Handle
    {
        virtual ~Handle() = default;
    };

    template <class T>
    T* keep(std::unique_ptr<T> object)
    {
        T* raw = object.get();
        m_objects.push_back(std::move(object));
        return raw;
    }

private:
    std::vector<std::unique_ptr<Handle>> m_objects;
};

namespace {

// The application hands native paths to the spreadsheet application, whatever form it was given.
QString nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

class ComRange final : public Range, public ComObjectStore::Handle
{
public:
    explicit ComRange(AutomationObject* object) : m_object(object) {}

    bool setNumberFormatLocal(const QString& format) override
    {
        return m_object->setProperty(member::NumberFormatLocal, format);
    }
    // The call's result is not a success flag (a void member returns nothing either way).
    bool setValue(const QVariant& value) override
    {
        m_object->dynamicCall(member::SetValue, {value});
        return true;
    }

private:
    AutomationObject* m_object;
};

class ComWorksheet final : public Worksheet, public ComObjectStore::Handle
{
public:
    ComWorksheet(AutomationObject* object, ComObjectStore* store) : m_object(object), m_store(store) {}

    // Numbers below 1 can never name a column or a cell, so they are refused without a call.
    Range* columns(int n) override
    {
        if (n < 1)
            return nullptr;
        return wrap(m_object->querySubObject(member::Columns, {n}));
    }
    Range* cells(int row, int column) override
    {
        if (row < 1 || column < 1)
            return nullptr;
        return wrap(m_object->querySubObject(member::Cells, {row, column}));
    }

private:
    Range* wrap(AutomationObject* object)
    {
        return object ? m_store->keep(std::make_unique<ComRange>(object)) : nullptr;
    }

    AutomationObject* m_object;
    ComObjectStore* m_store;
};

// A save or close through COM reports nothing usable; the caller checks the output file.
class ComWorkbook final : public Workbook, public ComObjectStore::Handle
{
public:
    explicit ComWorkbook(AutomationObject* object) : m_object(object) {}

    bool saveAs(const QString& path, int fileFormat) override
    {
        m_object->dynamicCall(member::SaveAs, {nativePath(path), fileFormat});
        return true;
    }
    bool close(bool saveChanges) override
    {
        m_object->dynamicCall(member::Close, {saveChanges});
        return true;
    }

private:
    AutomationObject* m_object;
};

class ComWorkbooks final : public Workbooks, public ComObjectStore::Handle
{
public:
    ComWorkbooks(AutomationObject* object, ComObjectStore* store) : m_object(object), m_store(store) {}

    Workbook* open(const QString& path) override
    {
        AutomationObject* book = m_object->querySubObject(member::Open, {nativePath(path)});
        return book ? m_store->keep(std::make_unique<ComWorkbook>(book)) : nullptr;
    }
    // Whether the import worked shows only in the application's active workbook afterwards.
    bool openText(const OpenTextArguments& arguments) override
    {
        OpenTextArguments native = arguments;
        native.fileName = nativePath(arguments.fileName);
        m_object->dynamicCall(member::OpenText, native.toVariantList());
        return true;
    }
    bool add() override
    {
        m_object->dynamicCall(member::Add);
        return true;
    }

private:
    AutomationObject* m_object;
    ComObjectStore* m_store;
};

} // namespace

ComSpreadsheetApplication::ComSpreadsheetApplication(std::unique_ptr<AutomationObject> root, QObject* parent)
    : SpreadsheetApplication(parent), m_root(std::move(root)), m_store(std::make_unique<ComObjectStore>())
{}

ComSpreadsheetApplication::~ComSpreadsheetApplication()
{
    // The interface objects first, then the automation objects they point into.
    m_store.reset();
    m_root.reset();
}

bool ComSpreadsheetApplication::bind(const QString& progId)
{
    return m_root->setControl(progId);
}

// The application's prototype takes the flag as text, so the value travels as "true"/"false".
void ComSpreadsheetApplication::setVisible(bool visible)
{
    m_root->dynamicCall(member::SetVisible, {visible ? QStringLiteral("true") : QStringLiteral("false")});
}

void ComSpreadsheetApplication::setDisplayAlerts(bool displayAlerts)
{
    m_root->setProperty(member::DisplayAlerts, displayAlerts);
}

Workbooks* ComSpreadsheetApplication::workbooks()
{
    AutomationObject* books = m_root->querySubObject(member::Workbooks);
    return books ? m_store->keep(std::make_unique<ComWorkbooks>(books, m_store.get())) : nullptr;
}

Workbook* ComSpreadsheetApplication::activeWorkbook()
{
    AutomationObject* book = m_root->querySubObject(member::ActiveWorkbook);
    return book ? m_store->keep(std::make_unique<ComWorkbook>(book)) : nullptr;
}

Worksheet* ComSpreadsheetApplication::activeSheet()
{
    AutomationObject* sheet = m_root->querySubObject(member::ActiveSheet);
    return sheet ? m_store->keep(std::make_unique<ComWorksheet>(sheet, m_store.get())) : nullptr;
}

void ComSpreadsheetApplication::quit()
{
    m_root->dynamicCall(member::Quit);
}
