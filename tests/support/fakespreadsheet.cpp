#include "fakespreadsheet.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

class FakeSpreadsheetApplication::FakeBook : public Workbook
{
public:
    FakeBook(FakeSpreadsheetApplication& app, QString source) : app(app), source(std::move(source)) {}
    bool saveAs(const QString& path, int fileFormat) override
    {
        log() << QStringLiteral("SaveAs %1 %2").arg(path).arg(fileFormat);
        const QString name = QFileInfo(path).fileName();
        app.reach(QStringLiteral("SaveAs ") + name);
        if (app.behaviour.holdSaveOf.contains(name)) {
            QElapsedTimer held;
            held.start();
            while (!app.aborted.load() && held.elapsed() < 60000)
                QThread::msleep(5);
        }
        if (app.aborted.load()) {
            log() << QStringLiteral("Interrupted %1").arg(name);
            error = Failure(Reason::Interrupted, path);
            return false;
        }
        if (app.behaviour.failSaveOf.contains(name)) {
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
    FakeRange(FakeSpreadsheetApplication& app, int row, int column) : app(app), row(row), column(column) {}
    bool setNumberFormatLocal(const QString& format) override
    {
        log() << QStringLiteral("NumberFormatLocal %1 %2").arg(column).arg(format);
        textColumns() << column;
        return true;
    }
    bool setValue(const QVariant& value) override
    {
        app.reach(QStringLiteral("Cell %1,%2").arg(row).arg(column));
        cellValues().insert(QStringLiteral("%1,%2").arg(row).arg(column), value);
        return true;
    }
    FakeSpreadsheetApplication& app;
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
        app.ranges.push_back(std::make_unique<FakeRange>(app, 0, n));
        return app.ranges.back().get();
    }
    Range* cells(int row, int column) override
    {
        if (row < 1 || column < 1)
            return nullptr;
        app.ranges.push_back(std::make_unique<FakeRange>(app, row, column));
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
        const bool readable = file.open(QIODevice::ReadOnly);
        importedBytes().append(readable ? file.readAll() : QByteArray());
        error = Failure();
        if (app.behaviour.lockedImportOf.contains(QFileInfo(arguments.fileName).fileName())) {
            error = Failure(Reason::Locked, arguments.fileName);
            return false;
        }
        if (!readable && app.behaviour.readsSourceTexts) {
            error = Failure(QFileInfo::exists(arguments.fileName) ? Reason::ReadError : Reason::Vanished,
                            arguments.fileName, file.errorString());
            return false;
        }
        if (app.behaviour.refuseImportOf.contains(QFileInfo(arguments.fileName).fileName()))
            return false;
        add(arguments.fileName);
        return true;
    }
    bool add() override
    {
        log() << QStringLiteral("Add");
        add(QStringLiteral("(new)"));
        return true;
    }
    Failure failure() const override { return error; }
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
