#include "text/valuerecognizer.h"

#include <QtTest>

using engine::Cell;
using engine::CellType;
using engine::ColumnType;
using engine::NumberFormat;

namespace {

// One comparable line per cell: "number 0.12 Percent", "text [007] General", "boolean 1", "empty".
QString describe(const Cell& cell)
{
    const QString format = QString::fromUtf8(engine::numberFormatCode(cell.format));
    switch (cell.type) {
    case CellType::Empty:
        return QStringLiteral("empty");
    case CellType::Boolean:
        return QStringLiteral("boolean %1").arg(cell.number);
    case CellType::Number:
        return QStringLiteral("number %1 %2").arg(QString::number(cell.number, 'g', 17), format);
    case CellType::Text:
        return QStringLiteral("text [%1] %2").arg(QString::fromUtf8(cell.text.data(), int(cell.text.size())), format);
    }
    return {};
}

QString number(double value, NumberFormat format = NumberFormat::General)
{
    return describe(Cell::makeNumber(value, format));
}

QString text(const char* value, NumberFormat format = NumberFormat::General)
{
    return describe(Cell::makeText(value, format));
}

const double Jan5 = 45296; // 2024-01-05
const double T1345 = (13 * 60 + 45) / 1440.0;
const double T134530 = (13 * 3600 + 45 * 60 + 30) / 86400.0;

} // namespace

class ValueRecognizerTest : public QObject
{
    Q_OBJECT
private slots:
    void recognize_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("expected");
        const int general = int(ColumnType::General);
        auto row = [](const char* name, const char* field, int type, const QString& expected) {
            QTest::newRow(name) << QByteArray(field) << type << expected;
        };

        row("empty", "", general, "empty");
        row("integer", "123", general, number(123));
        row("negative decimal", "-4.5", general, number(-4.5));
        row("plus sign", "+12", general, number(12));
        row("exponent", "1.5E3", general, number(1500));
        row("lower-case exponent with sign", "2e-2", general, number(0.02));
        row("groups of three", "1,234.5", general, number(1234.5));
        row("several groups", "-12,345,678", general, number(-12345678));
        row("zero", "0", general, number(0));
        row("zero point five", "0.5", general, number(0.5));
        row("leading point", ".5", general, number(0.5));
        row("surrounding blanks", "  42\t", general, number(42));
        row("percent", "12%", general, number(0.12, NumberFormat::Percent));
        row("percent with decimals", "12.5%", general, number(0.125, NumberFormat::PercentDecimal));
        row("negative percent", "-50%", general, number(-0.5, NumberFormat::Percent));
        row("parentheses", "(12)", general, number(-12));
        row("parentheses with groups", "(1,234.5)", general, number(-1234.5));
        row("negative zero is zero", "-0", general, number(0));
        row("TRUE", "TRUE", general, describe(Cell::makeBoolean(true)));
        row("false", "false", general, describe(Cell::makeBoolean(false)));
        row("mixed-case True", "True", general, describe(Cell::makeBoolean(true)));
        row("date iso", "2024-01-05", general, number(Jan5, NumberFormat::DateIso));
        row("date iso short parts", "2024-1-5", general, number(Jan5, NumberFormat::DateIso));
        row("date slash", "2024/1/5", general, number(Jan5, NumberFormat::DateSlash));
        row("date chinese", "2024年1月5日", general, number(Jan5, NumberFormat::DateChinese));
        row("date iso with minutes", "2024-01-05 13:45", general, number(Jan5 + T1345, NumberFormat::DateTimeIso));
        row("date slash with seconds", "2024/1/5 13:45:30", general,
            number(Jan5 + T134530, NumberFormat::DateTimeSecondsSlash));
        row("date chinese with minutes", "2024年1月5日 13:45", general,
            number(Jan5 + T1345, NumberFormat::DateTimeChinese));
        row("date chinese with seconds", "2024年1月5日 13:45:30", general,
            number(Jan5 + T134530, NumberFormat::DateTimeSecondsChinese));
        row("leap day", "2024-02-29", general, number(45351, NumberFormat::DateIso));
        row("first of march 1900", "1900-03-01", general, number(61, NumberFormat::DateIso));
        row("first day of 1900", "1900-01-01", general, number(1, NumberFormat::DateIso));
        row("last of february 1900", "1900-02-28", general, number(59, NumberFormat::DateIso));
        row("time", "13:45", general, number(T1345, NumberFormat::Time));
        row("time with seconds", "13:45:30", general, number(T134530, NumberFormat::TimeSeconds));
        row("one-digit hour", "9:05", general, number((9 * 60 + 5) / 1440.0, NumberFormat::Time));

        // Left as text, exactly as written.
        row("identity number", "110101199003071234", general, text("110101199003071234"));
        row("sixteen digits", "1234567890123456", general, text("1234567890123456"));
        row("fifteen digits stay a number", "123456789012345", general, number(123456789012345.0));
        row("long decimal", "12345678901234567.89", general, text("12345678901234567.89"));
        row("sixteen integer digits with a fraction", "1234567890123456.5", general, text("1234567890123456.5"));
        row("negative long decimal", "-12345678901234567.5", general, text("-12345678901234567.5"));
        row("long decimal in parentheses", "(12345678901234567.5)", general, text("(12345678901234567.5)"));
        row("grouped long decimal", "12,345,678,901,234,567.5", general, text("12,345,678,901,234,567.5"));
        row("long decimal percent", "12345678901234567.5%", general, text("12345678901234567.5%"));
        row("fifteen integer digits with a fraction", "123456789012345.67", general, number(123456789012345.67));
        row("long mantissa with an exponent", "12345678901234567.89E-3", general, number(12345678901234.56789));
        // Decimals of up to 15 digits take a quicker way than longer ones; both are exact.
        row("fifteen digits with decimals", "12345678.1234567", general, number(12345678.1234567));
        row("sixteen digits with decimals", "1234567890.123456", general, number(1234567890.123456));
        row("decimal between doubles", "0.3", general, number(0.3));
        row("zeros after the point", "-0.000123", general, number(-0.000123));
        row("fifteen places", "0.123456789012345", general, number(0.123456789012345));
        row("grouped with decimals", "1,234,567.891", general, number(1234567.891));
        row("percent with places", "12.345%", general, number(0.12345, NumberFormat::PercentDecimal));
        row("trailing zeros in places", "43477.90", general, number(43477.9));
        row("leading zeros", "007", general, text("007"));
        row("leading zero", "0123", general, text("0123"));
        row("signed leading zeros", "-007", general, text("-007"));
        row("formula", "=1+2", general, text("=1+2"));
        row("formula after blank", " =A1", general, text(" =A1"));
        row("blanks only", "   ", general, text("   "));
        row("text keeps blanks", " abc ", general, text(" abc "));
        row("us date", "1/5/2024", general, text("1/5/2024"));
        row("day and month name", "5-Jan", general, text("5-Jan"));
        row("month name and day", "MAR 3", general, text("MAR 3"));
        row("phone number", "06-8108", general, text("06-8108"));
        row("trailing minus", "12-", general, text("12-"));
        row("inf", "inf", general, text("inf"));
        row("nan", "nan", general, text("nan"));
        row("hex", "0x10", general, text("0x10"));
        row("overflow", "1e999", general, text("1e999"));
        row("group of two", "1,23", general, text("1,23"));
        row("group of four", "1,2345", general, text("1,2345"));
        row("first group too long", "1234,567", general, text("1234,567"));
        row("lone sign", "-", general, text("-"));
        row("lone point", ".", general, text("."));
        row("exponent without digits", "1.5E", general, text("1.5E"));
        row("sign inside parentheses", "(-12)", general, text("(-12)"));
        row("february 29 1900", "1900-02-29", general, text("1900-02-29"));
        row("before 1900", "1899-12-31", general, text("1899-12-31"));
        row("no such day", "2023-02-29", general, text("2023-02-29"));
        row("month 13", "2024-13-01", general, text("2024-13-01"));
        row("mixed separators", "2024-01/05", general, text("2024-01/05"));
        row("hour 24", "24:00", general, text("24:00"));
        row("one-digit minutes", "13:5", general, text("13:5"));
        row("time with fraction", "13:45:30.5", general, text("13:45:30.5"));
        row("date then junk", "2024-01-05x", general, text("2024-01-05x"));
        row("truthy", "yes", general, text("yes"));
        row("currency", "$12", general, text("$12"));

        // Text columns keep everything.
        const int textColumn = int(ColumnType::Text);
        row("text column number", "123", textColumn, text("123", NumberFormat::Text));
        row("text column blanks", " 1 ", textColumn, text(" 1 ", NumberFormat::Text));
        row("text column formula", "=SUM(A1)", textColumn, text("=SUM(A1)", NumberFormat::Text));
        row("text column empty", "", textColumn, "empty");

        // Date-order columns.
        row("MDY", "1/5/2024", int(ColumnType::MDY), number(Jan5, NumberFormat::DateIso));
        row("DMY dots", "5.1.2024", int(ColumnType::DMY), number(Jan5, NumberFormat::DateIso));
        row("YMD dashes", "2024-1-5", int(ColumnType::YMD), number(Jan5, NumberFormat::DateIso));
        row("MYD", "01-2024-05", int(ColumnType::MYD), number(Jan5, NumberFormat::DateIso));
        row("DYM", "5/2024/1", int(ColumnType::DYM), number(Jan5, NumberFormat::DateIso));
        row("YDM", "2024.5.1", int(ColumnType::YDM), number(Jan5, NumberFormat::DateIso));
        row("DMY with time", "05/01/2024 13:45", int(ColumnType::DMY), number(Jan5 + T1345, NumberFormat::DateTimeIso));
        row("DMY not a date falls back to General", "31/2/2024", int(ColumnType::DMY), text("31/2/2024"));
        row("DMY number stays a number", "42", int(ColumnType::DMY), number(42));
        row("MDY two-digit year is not a date", "1/5/24", int(ColumnType::MDY), text("1/5/24"));
        row("MDY mixed separators", "1/5-2024", int(ColumnType::MDY), text("1/5-2024"));
        row("MDY iso text falls back to General", "2024-01-05", int(ColumnType::MDY),
            number(Jan5, NumberFormat::DateIso));
        row("skip column", "123", int(ColumnType::Skip), "empty");
        row("type ten is General", "12%", 10, number(0.12, NumberFormat::Percent));
    }

    void recognize()
    {
        QFETCH(QByteArray, field);
        QFETCH(int, type);
        QFETCH(QString, expected);
        const std::string_view view(field.constData(), std::size_t(field.size()));
        const Cell cell = engine::recognizeField(view, ColumnType(type));
        QCOMPARE(describe(cell), expected);
        // A text cell is the field itself, not a copy that could go stale differently.
        if (cell.type == CellType::Text)
            QCOMPARE(static_cast<const void*>(cell.text.data()), static_cast<const void*>(field.constData()));
    }
};

QTEST_APPLESS_MAIN(ValueRecognizerTest)
#include "tst_valuerecognizer.moc"
