#include "embedded/embeddedapplication.h"

#include "cells/cellmodel.h"
#include "files/filesystem.h"
#include "text/textimport.h"
#include "text/valuerecognizer.h"
#include "workbook/workbooksaver.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace engine {

namespace {

// Workbooks filled cell by cell have no source file to take a time from; a fixed document time
// keeps their bytes the same from one save to the next.
QDateTime fixedDocumentTime()
{
    return QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
}

double dayFraction(const QTime& time)
{
    return time.msecsSinceStartOfDay() / 86400000.0;
}

// True when an integer keeps all its digits as a spreadsheet number (15 significant digits).
bool fitsNumber(const QString& digits)
{
    QStringView significant(digits);
    if (significant.startsWith(QLatin1Char('-')))
        significant = significant.mid(1);
    while (significant.size() > 1 && significant.endsWith(QLatin1Char('0')))
        significant.chop(1);
    return significant.size() <= 15;
}

// An integer a number cannot hold to the last digit is kept as its digits.
Cell integerCell(const QVariant& value, std::string& text)
{
    const QString digits = value.toString();
    if (fitsNumber(digits))
        return Cell::makeNumber(value.toDouble());
    text = digits.toStdString();
    return Cell::makeText(text);
}

// Infinities and NaN are no spreadsheet numbers: they are kept as written.
Cell floatingCell(const QVariant& value, std::string& text)
{
    const double number = value.toDouble();
    if (std::isfinite(number))
        return Cell::makeNumber(number);
    text = value.toString().toStdString();
    return Cell::makeText(text);
}

// A date, a date and time, or a time of day, as the serial number spreadsheets count with.
Cell dateTimeCell(const QVariant& value, std::string& text)
{
    const int type = value.userType();
    const QDateTime dateTime = type == QMetaType::QDateTime ? value.toDateTime() : QDateTime();
    const QDate date = type == QMetaType::QDate ? value.toDate() : dateTime.date();
    const QTime time = type == QMetaType::QTime ? value.toTime() : dateTime.time();
    if (type == QMetaType::QTime)
        return time.isValid() ? Cell::makeNumber(dayFraction(time), NumberFormat::TimeSeconds) : Cell{};
    if (const std::optional<double> serial = dateSerial(date.year(), date.month(), date.day())) {
        return Cell::makeNumber(*serial + (type == QMetaType::QDateTime ? dayFraction(time) : 0.0),
                                type == QMetaType::QDate ? NumberFormat::DateIso : NumberFormat::DateTimeSecondsIso);
    }
    if (!date.isValid())
        return Cell{};
    // Before 1900 a spreadsheet has no day number: the date is kept as written.
    text = value.toString().toStdString();
    return Cell::makeText(text);
}

// The cell a value set into a cell stands for (`text` holds what a text cell refers to); false
// for a value of a type no cell can hold. A string is taken as typed into the cell: a text column
// keeps it as given, otherwise it is recognised like an imported General field.
bool cellForValue(const QVariant& value, bool textColumn, std::string& text, Cell& cell)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        cell = Cell{};
        return true;
    case QMetaType::Bool:
        cell = Cell::makeBoolean(value.toBool());
        return true;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        cell = integerCell(value, text);
        return true;
    case QMetaType::Double:
    case QMetaType::Float:
        cell = floatingCell(value, text);
        return true;
    case QMetaType::QDate:
    case QMetaType::QDateTime:
    case QMetaType::QTime:
        cell = dateTimeCell(value, text);
        return true;
    default:
        break;
    }
    if (!value.canConvert<QString>())
        return false;
    text = value.toString().toStdString();
    if (text.empty())
        cell = Cell{};
    else
        cell = textColumn ? Cell::makeText(text, NumberFormat::Text) : recognizeField(text, ColumnType::General);
    return true;
}

bool numberFormatFromLocal(const QString& text, NumberFormat* format)
{
    // "G/通用格式" is how a Chinese-language spreadsheet application spells General.
    if (text.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0 || text == QStringLiteral("G/通用格式")) {
        *format = NumberFormat::General;
        return true;
    }
    const QByteArray utf8 = text.toUtf8();
    for (int i = 0; i < int(NumberFormat::Count); ++i) {
        if (utf8 == numberFormatCode(NumberFormat(i))) {
            *format = NumberFormat(i);
            return true;
        }
    }
    return false;
}

class EmbeddedBook;

// The rows of a save or of a workbook being changed, cut off between two rows once the
// application is told to abort: the saver then fails with Reason::Interrupted and removes what
// it wrote.
class InterruptibleRows final : public RowSource
{
public:
    InterruptibleRows(RowSource& rows, const std::atomic<bool>& aborted) : m_rows(rows), m_aborted(aborted) {}

    std::vector<std::pair<int, NumberFormat>> columnFormats() const override { return m_rows.columnFormats(); }
    bool nextRow(RowView& row) override
    {
        if (m_aborted.load(std::memory_order_relaxed)) {
            m_failure = Failure(Reason::Interrupted);
            return false;
        }
        return m_rows.nextRow(row);
    }
    Failure failure() const override { return m_failure.isFailure() ? m_failure : m_rows.failure(); }
    QStringList warnings() const override { return m_rows.warnings(); }

private:
    RowSource& m_rows;
    const std::atomic<bool>& m_aborted;
    Failure m_failure;
};

// The rows of a workbook with the warnings its caller added (Workbook::addWarning) ahead of the
// rows' own.
class WarnedRows final : public RowSource
{
public:
    WarnedRows(RowSource& rows, const QStringList& warnings) : m_rows(rows), m_warnings(warnings) {}
    std::vector<std::pair<int, NumberFormat>> columnFormats() const override { return m_rows.columnFormats(); }
    bool nextRow(RowView& row) override { return m_rows.nextRow(row); }
    Failure failure() const override { return m_rows.failure(); }
    QStringList warnings() const override { return m_warnings + m_rows.warnings(); }

private:
    RowSource& m_rows;
    const QStringList& m_warnings;
};

// A column (row < 0) or a cell of a workbook, both 0-based. Cells are asked for one by one in
// great numbers, so a range is a plain object kept in an arena, not a QObject.
class EmbeddedRange final : public Range
{
public:
    EmbeddedRange(EmbeddedBook* book, int row, int column) : m_book(book), m_row(row), m_column(column) {}
    bool setNumberFormatLocal(const QString& format) override;
    bool setValue(const QVariant& value) override;

private:
    EmbeddedBook* m_book;
    int m_row;
    int m_column;
};

// A workbook with its one sheet. An imported workbook holds the open text until it is saved;
// one filled cell by cell (or changed after import) holds a CellModel.
class EmbeddedBook final : public Workbook, public Worksheet
{
public:
    EmbeddedBook(EmbeddedApplication::State& state, const QString& sheetName, const QDateTime& created)
        : m_state(state), m_sheetName(sheetName), m_created(created)
    {}

    void setImport(const QString& path, const ImportOptions& options, std::unique_ptr<TextImport> source)
    {
        m_importPath = path;
        m_importOptions = options;
        m_facts.encoding = source->encodingName();
        m_importSource = std::move(source);
    }
    void setModel(std::unique_ptr<CellModel> model) { m_model = std::move(model); }

    bool isClosed() const { return m_closed; }
    void forget()
    {
        m_closed = true;
        m_model.reset();
        m_importSource.reset();
    }

    // Workbook
    bool saveAs(const QString& path, int fileFormat) override;
    bool close(bool saveChanges) override;
    Failure failure() const override { return m_failure; }
    QStringList warnings() const override { return m_warnings; }
    bool addWarning(const QString& warning) override
    {
        if (m_closed)
            return false;
        m_addedWarnings.append(warning);
        return true;
    }
    SaveFacts saveFacts() const override { return m_facts; }

    // Worksheet
    Range* columns(int n) override;
    Range* cells(int row, int column) override;

    // The cell model, read from the import first when the workbook was imported; null (with
    // the error set) when the import cannot be read.
    CellModel* model();
    void setFailure(const Failure& failure) { m_failure = failure; }

private:
    std::unique_ptr<RowSource> takeImport()
    {
        if (m_importSource)
            return std::move(m_importSource);
        // A second save reads the text again.
        return openTextImport(m_importPath, m_importOptions, &m_failure);
    }

    EmbeddedApplication::State& m_state;
    const QString m_sheetName;
    const QDateTime m_created;
    bool m_closed = false;
    QString m_importPath;
    ImportOptions m_importOptions;
    std::unique_ptr<RowSource> m_importSource;
    std::unique_ptr<CellModel> m_model;
    Failure m_failure;
    QStringList m_warnings;
    QStringList m_addedWarnings; // by addWarning(), and the import's once it became a model
    SaveFacts m_facts;
};

class EmbeddedWorkbooks final : public Workbooks
{
public:
    explicit EmbeddedWorkbooks(EmbeddedApplication::State& state) : m_state(state) {}
    Workbook* open(const QString& path) override;
    bool openText(const OpenTextArguments& arguments) override;
    bool add() override;
    Failure failure() const override { return m_failure; }

private:
    EmbeddedBook* import(const QString& path, const ImportOptions& options);

    EmbeddedApplication::State& m_state;
    Failure m_failure;
};

} // namespace

struct EmbeddedApplication::State
{
    State() : workbooks(*this) {}

    EmbeddedBook* newBook(const QString& sheetName, const QDateTime& created)
    {
        books.emplace_back(*this, sheetName, created);
        openBooks.push_back(&books.back());
        return &books.back();
    }
    void forget(EmbeddedBook* book)
    {
        book->forget();
        openBooks.erase(std::remove(openBooks.begin(), openBooks.end(), book), openBooks.end());
    }
    Range* newRange(EmbeddedBook* book, int row, int column)
    {
        ranges.emplace_back(book, row, column);
        return &ranges.back();
    }

    bool isAborted() const { return aborted.load(); }

    EmbeddedWorkbooks workbooks;
    // Set from another thread by abort(); read between rows.
    std::atomic<bool> aborted{false};
    // Objects handed out stay where they are until the application goes: deques never move
    // their elements, and closed workbooks stay (emptied) so old pointers remain safe to use.
    std::deque<EmbeddedBook> books;
    std::deque<EmbeddedRange> ranges;
    std::vector<EmbeddedBook*> openBooks; // in the order they were opened; the last is active
};

namespace {

bool EmbeddedBook::saveAs(const QString& path, int fileFormat)
{
    m_failure = Failure();
    m_warnings.clear();
    if (m_closed) {
        m_failure = Failure(Reason::SaveFailed, QString(), QStringLiteral("工作簿已关闭"));
        return false;
    }
    // Checked before the save too, so that a wrong code does not use up the open import.
    m_failure = fileFormatFailure(fileFormat, path);
    if (m_failure.isFailure())
        return false;
    if (m_state.isAborted()) {
        m_failure = Failure(Reason::Interrupted, QDir::toNativeSeparators(path));
        return false;
    }
    std::unique_ptr<RowSource> rows = m_model ? m_model->rows() : takeImport();
    if (!rows)
        return false;
    WarnedRows warnedRows(*rows, m_addedWarnings);
    InterruptibleRows interruptible(warnedRows, m_state.aborted);
    const SaveResult result = saveWorkbook(interruptible, m_sheetName, path, fileFormat, m_created);
    m_failure = result.failure;
    m_warnings = result.warnings;
    m_facts.rows = result.ok ? result.rows : -1;
    m_facts.sheets = result.ok ? result.sheets : -1;
    return result.ok;
}

bool EmbeddedBook::close(bool saveChanges)
{
    // There is no file of the workbook's own to save changes into (an imported workbook would
    // overwrite its text): closing always forgets the workbook.
    Q_UNUSED(saveChanges);
    m_state.forget(this);
    return true;
}

Range* EmbeddedBook::columns(int n)
{
    if (m_closed || n < 1 || n > embeddedMaxColumns)
        return nullptr;
    return m_state.newRange(this, -1, n - 1);
}

Range* EmbeddedBook::cells(int row, int column)
{
    if (m_closed || row < 1 || column < 1 || column > embeddedMaxColumns)
        return nullptr;
    return m_state.newRange(this, row - 1, column - 1);
}

CellModel* EmbeddedBook::model()
{
    if (m_closed) {
        m_failure = Failure(Reason::Other, QString(), QStringLiteral("工作簿已关闭"));
        return nullptr;
    }
    if (m_model)
        return m_model.get();
    // An imported workbook that is changed: its rows become cells of a model (rare; costs memory
    // in proportion to the text).
    std::unique_ptr<RowSource> imported = takeImport();
    if (!imported)
        return nullptr;
    InterruptibleRows interruptible(*imported, m_state.aborted);
    RowSource* rows = &interruptible;
    auto model = std::make_unique<CellModel>();
    for (const auto& [column, format] : rows->columnFormats())
        model->setColumnFormat(column, format);
    RowView row;
    while (rows->nextRow(row)) {
        if (row.index > std::numeric_limits<int>::max()) {
            m_failure = Failure(Reason::Other, QString(), QStringLiteral("文本的行数超出工作簿所能容纳的范围"));
            return nullptr;
        }
        for (int c = 0; c < row.count; ++c) {
            if (row.cells[c].type != CellType::Empty)
                model->setCell(int(row.index), c, row.cells[c]);
        }
        model->setSourceLine(int(row.index), row.sourceLine);
    }
    if (rows->failure().isFailure()) {
        m_failure = rows->failure();
        return nullptr;
    }
    // What the import had to repair stays said once its rows live in the model.
    m_addedWarnings = rows->warnings() + m_addedWarnings;
    m_model = std::move(model);
    return m_model.get();
}

bool EmbeddedRange::setNumberFormatLocal(const QString& text)
{
    NumberFormat format;
    if (!numberFormatFromLocal(text, &format)) {
        m_book->setFailure(Failure(Reason::Other, QString(), QStringLiteral("不支持的数字格式 \"%1\"").arg(text)));
        return false;
    }
    CellModel* model = m_book->model();
    if (!model)
        return false;
    if (m_row < 0)
        model->setColumnFormat(m_column, format);
    else
        model->setCellFormat(m_row, m_column, format);
    return true;
}

bool EmbeddedRange::setValue(const QVariant& value)
{
    if (m_row < 0) {
        m_book->setFailure(Failure(Reason::Other, QString(), QStringLiteral("值只能写入单元格, 不能写入整列")));
        return false;
    }
    CellModel* model = m_book->model();
    if (!model)
        return false;

    const CellModel::StoredCell* existing = model->cell(m_row, m_column);
    const NumberFormat ownFormat = existing ? existing->format : NumberFormat::General;
    const bool textFormat = model->effectiveFormat(m_row, m_column) == NumberFormat::Text;
    std::string text;
    Cell cell;
    if (!cellForValue(value, textFormat, text, cell)) {
        m_book->setFailure(Failure(Reason::Other, QString(),
                                   QStringLiteral("无法存入类型为 %1 的值").arg(QLatin1String(value.typeName()))));
        return false;
    }
    if (cell.format == NumberFormat::General)
        cell.format = ownFormat;
    model->setCell(m_row, m_column, cell);
    return true;
}

EmbeddedBook* EmbeddedWorkbooks::import(const QString& path, const ImportOptions& givenOptions)
{
    m_failure = Failure();
    if (m_state.isAborted()) {
        m_failure = Failure(Reason::Interrupted, QDir::toNativeSeparators(path));
        return nullptr;
    }
    // An abort also stops the reading of a large text whose encoding is being recognised.
    ImportOptions options = givenOptions;
    options.stop = &m_state.aborted;
    std::unique_ptr<TextImport> source = openTextImport(path, options, &m_failure);
    if (!source) {
        if (!m_failure.isFailure())
            m_failure = Failure(Reason::ReadError, QDir::toNativeSeparators(path));
        return nullptr;
    }
    // The document time comes from the text, so converting the same text again gives the same
    // bytes.
    EmbeddedBook* book = m_state.newBook(importedSheetName(path), files::modificationTime(path));
    book->setImport(path, options, std::move(source));
    return book;
}

Workbook* EmbeddedWorkbooks::open(const QString& path)
{
    return import(path, recognitionImportOptions());
}

bool EmbeddedWorkbooks::openText(const OpenTextArguments& arguments)
{
    ImportOptions options;
    m_failure = Failure();
    QString error;
    if (!importOptionsFor(arguments, &options, &error)) {
        m_failure = Failure(Reason::UnsupportedImport, QString(), error);
        return false;
    }
    return import(arguments.fileName, options) != nullptr;
}

bool EmbeddedWorkbooks::add()
{
    m_failure = Failure();
    EmbeddedBook* book = m_state.newBook(QStringLiteral("Sheet1"), fixedDocumentTime());
    book->setModel(std::make_unique<CellModel>());
    return true;
}

} // namespace

EmbeddedApplication::EmbeddedApplication(QObject* parent)
    : SpreadsheetApplication(parent), m_state(std::make_unique<State>())
{}

EmbeddedApplication::~EmbeddedApplication() = default;

bool EmbeddedApplication::bind(const QString& progId)
{
    // The engine is built in: whatever application is named, it is there.
    Q_UNUSED(progId);
    return true;
}

void EmbeddedApplication::setVisible(bool visible)
{
    Q_UNUSED(visible);
}

void EmbeddedApplication::setDisplayAlerts(bool displayAlerts)
{
    Q_UNUSED(displayAlerts);
}

Workbooks* EmbeddedApplication::workbooks()
{
    return &m_state->workbooks;
}

Workbook* EmbeddedApplication::activeWorkbook()
{
    return m_state->openBooks.empty() ? nullptr : m_state->openBooks.back();
}

Worksheet* EmbeddedApplication::activeSheet()
{
    return m_state->openBooks.empty() ? nullptr : m_state->openBooks.back();
}

void EmbeddedApplication::abort()
{
    m_state->aborted.store(true);
}

void EmbeddedApplication::quit()
{
    for (EmbeddedBook* book : m_state->openBooks)
        book->forget();
    m_state->openBooks.clear();
}

bool importOptionsFor(const OpenTextArguments& arguments, ImportOptions* options, QString* errorString)
{
    ImportOptions result;
    result.codePage = arguments.origin;
    result.startRow = std::max(1, arguments.startRow);
    // The import itself refuses what it cannot do (fixed width) and says why.
    result.dataType = arguments.dataType;
    switch (arguments.textQualifier) {
    case 1:
        result.qualifier = U'"';
        break;
    case 2:
        result.qualifier = U'\'';
        break;
    case -4142:
        result.qualifier = 0;
        break;
    default:
        *errorString =
            QStringLiteral("未知的文本限定符 %1 (1 为双引号, 2 为单引号, -4142 为无)").arg(arguments.textQualifier);
        return false;
    }
    result.consecutiveDelimiters = arguments.consecutiveDelimiter;
    result.tab = arguments.tab;
    result.semicolon = arguments.semicolon;
    result.comma = arguments.comma;
    result.space = arguments.space;
    result.other = arguments.other ? ImportOptions::firstCharacter(arguments.otherChar.toString()) : 0;
    std::vector<std::pair<int, int>> fieldInfo;
    for (const auto& pair : arguments.fieldInfo)
        fieldInfo.emplace_back(pair.first, pair.second);
    result.columnTypes = ImportOptions::columnTypesFromFieldInfo(fieldInfo);
    *options = result;
    return true;
}

ImportOptions recognitionImportOptions()
{
    ImportOptions options;
    options.codePage = 0;
    options.startRow = 1;
    options.qualifier = U'"';
    options.consecutiveDelimiters = false;
    options.tab = true;
    options.semicolon = options.comma = options.space = false;
    options.other = 0;
    return options;
}

QString importedSheetName(const QString& path)
{
    return validSheetName(QFileInfo(path).completeBaseName());
}

} // namespace engine
