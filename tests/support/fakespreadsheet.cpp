#include "fakespreadsheet.h"

#include <QFile>
#include <QFileInfo>

class FakeSpreadsheetApplication::FakeBook : public Workbook
{
public:
    FakeBook(FakeSpreadsheetApplication& app, QString source) : app(app), source(std::move(source)) {}
    bool saveAs(const QString& path, int fileFormat) override
    {
        log() << QStringLiteral("SaveAs %1 %2").arg(path).arg(fileFormat);
        if (app.behaviour.failSaveOf.contains(QFileInfo(path).fileName())) {
            error = Failure(Reason::SaveFailed, path, QStringLiteral("save refused"));
            return false;
        }
        if (app.behaviour.saveWithoutWriting)
            return true;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            error = Failure(Reason::WriteError, path, file.errorString());
            return false;
        }
        file.write(QStringLiteral("workbook of %1\n").arg(source).toUtf8());
        return true;
    }
    bool close(bool saveChanges) override
    {
        log() << QStringLiteral("Close %1").arg(saveChanges);
        if (app.active == this)
            app.active = nullptr;
        return true;
    }
    Failure failure() const override { return error; }

    FakeSpreadsheetApplication& app;
    QString source;
    Failure error;
};

class FakeSpreadsheetApplication::FakeRange : public Range
{
public:
    FakeRange(int row, int column) : row(row), column(column) {}
    bool setNumberFormatLocal(const QString& format) override
    {
        log() << QStringLiteral("NumberFormatLocal %1 %2").arg(column).arg(format);
        textColumns() << column;
        return true;
    }
    bool setValue(const QVariant& value) override
    {
        cellValues().insert(QStringLiteral("%1,%2").arg(row).arg(column), value);
        return true;
    }
    int row;
    int column;
};

class FakeSpreadsheetApplication::FakeSheet : public Worksheet
{
public:
    explicit FakeSheet(FakeSpreadsheetApplication& app) : app(app) {}
    Range* columns(int n) override
    {
        if (n < 1)
            return nullptr;
        app.ranges.push_back(std::make_unique<FakeRange>(0, n));
        return app.ranges.back().get();
    }
    Range* cells(int row, int column) override
    {
        if (row < 1 || column < 1)
            return nullptr;
        app.ranges.push_back(std::make_unique<FakeRange>(row, column));
        return app.ranges.back().get();
    }
    FakeSpreadsheetApplication& app;
};

class FakeSpreadsheetApplication::FakeBooks : public Workbooks
{
public:
    explicit FakeBooks(FakeSpreadsheetApplication& app) : app(app) {}
    Workbook* open(const QString& path) override
    {
        log() << QStringLiteral("Open %1").arg(path);
        if (app.behaviour.refuseImportOf.contains(QFileInfo(path).fileName()))
            return nullptr;
        return add(path);
    }
    bool openText(const OpenTextArguments& arguments) override
    {
        log() << QStringLiteral("OpenText %1").arg(QFileInfo(arguments.fileName).fileName());
        imports().append(arguments);
        if (!app.behaviour.removeOnFirstImport.isEmpty() && imports().size() == 1)
            QFile::remove(app.behaviour.removeOnFirstImport);
        QFile file(arguments.fileName);
        importedBytes().append(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
        error = Failure();
        if (app.behaviour.lockedImportOf.contains(QFileInfo(arguments.fileName).fileName())) {
            error = Failure(Reason::Locked, arguments.fileName);
            return false;
        }
        if (app.behaviour.refuseImportOf.contains(QFileInfo(arguments.fileName).fileName()))
            return false;
        add(arguments.fileName);
        return true;
    }
    Failure failure() const override { return error; }
    bool add() override
    {
        log() << QStringLiteral("Add");
        add(QStringLiteral("(new)"));
        return true;
    }
    FakeBook* add(const QString& source)
    {
        app.allBooks.push_back(std::make_unique<FakeBook>(app, source));
        app.active = app.allBooks.back().get();
        return app.active;
    }
    FakeSpreadsheetApplication& app;
    Failure error;
};

FakeSpreadsheetApplication::FakeSpreadsheetApplication(const FakeSpreadsheetBehaviour& behaviour, QObject* parent)
    : SpreadsheetApplication(parent), behaviour(behaviour)
{
    ++liveObjects();
    sheet = std::make_unique<FakeSheet>(*this);
}

FakeSpreadsheetApplication::~FakeSpreadsheetApplication()
{
    --liveObjects();
    log() << QStringLiteral("Destroyed");
}

bool FakeSpreadsheetApplication::bind(const QString& progId)
{
    log() << QStringLiteral("Bind %1").arg(progId);
    if (!behaviour.noWorkbooks)
        books = std::make_unique<FakeBooks>(*this);
    return !behaviour.noWorkbooks;
}

void FakeSpreadsheetApplication::setVisible(bool visible)
{
    log() << QStringLiteral("SetVisible %1").arg(visible);
}

void FakeSpreadsheetApplication::setDisplayAlerts(bool displayAlerts)
{
    log() << QStringLiteral("DisplayAlerts %1").arg(displayAlerts);
}

Workbooks* FakeSpreadsheetApplication::workbooks()
{
    return books.get();
}

Workbook* FakeSpreadsheetApplication::activeWorkbook()
{
    return active;
}

Worksheet* FakeSpreadsheetApplication::activeSheet()
{
    return active ? sheet.get() : nullptr;
}

void FakeSpreadsheetApplication::quit()
{
    log() << QStringLiteral("Quit");
}

QStringList& FakeSpreadsheetApplication::log()
{
    static QStringList entries;
    return entries;
}

QList<OpenTextArguments>& FakeSpreadsheetApplication::imports()
{
    static QList<OpenTextArguments> list;
    return list;
}

QList<QByteArray>& FakeSpreadsheetApplication::importedBytes()
{
    static QList<QByteArray> list;
    return list;
}

QMap<QString, QVariant>& FakeSpreadsheetApplication::cellValues()
{
    static QMap<QString, QVariant> values;
    return values;
}

QList<int>& FakeSpreadsheetApplication::textColumns()
{
    static QList<int> columns;
    return columns;
}

int& FakeSpreadsheetApplication::liveObjects()
{
    static int count = 0;
    return count;
}

void FakeSpreadsheetApplication::reset()
{
    log().clear();
    imports().clear();
    importedBytes().clear();
    cellValues().clear();
    textColumns().clear();
}

SpreadsheetApplicationFactory fakeSpreadsheetFactory(const FakeSpreadsheetBehaviour& behaviour)
{
    return [behaviour](QObject* parent) -> SpreadsheetApplication* {
        return new FakeSpreadsheetApplication(behaviour, parent);
    };
}
