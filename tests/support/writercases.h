#pragma once
// One table of cells with what an independent reader must see for each, shared by the workbook
// writer tests: every case is written as one row (column 1 holds the case) and read back.

#include "cells/cell.h"

#include <QString>
#include <QVariant>

#include <string>
#include <vector>

struct WriterCase
{
    const char* name;
    engine::CellType type;
    engine::NumberFormat format;
    double number;
    std::string text;
    // What the reader reports: "n", "s", "b" or "d" (with the value as ISO text).
    QString readType;
    QVariant readValue;
    QString readFormat;

    engine::Cell cell() const
    {
        engine::Cell c;
        c.type = type;
        c.format = format;
        c.number = number;
        c.text = text;
        return c;
    }
};

// A value as read back, with numbers spelled to 17 significant digits: QCOMPARE and QVariant
// compare doubles only approximately, and a writer that rounds must not pass unnoticed.
inline QString exactText(const QVariant& value)
{
    const int type = value.userType();
    if (type == QMetaType::Double || type == QMetaType::LongLong || type == QMetaType::Int)
        return QString::number(value.toDouble(), 'g', 17);
    return value.toString();
}

inline std::vector<WriterCase> writerCases()
{
    using engine::CellType;
    using engine::NumberFormat;
    const QString general = QStringLiteral("General");
    auto number = [&](const char* name, double value, NumberFormat format = NumberFormat::General) {
        return WriterCase{name, CellType::Number,    format, value,
                          {},   QStringLiteral("n"), value,  QString::fromUtf8(engine::numberFormatCode(format))};
    };
    auto date = [&](const char* name, double serial, NumberFormat format, const char* iso) {
        return WriterCase{name,
                          CellType::Number,
                          format,
                          serial,
                          {},
                          QStringLiteral("d"),
                          QString::fromUtf8(iso),
                          QString::fromUtf8(engine::numberFormatCode(format))};
    };
    auto text = [&](const char* name, const std::string& value, NumberFormat format = NumberFormat::General) {
        return WriterCase{name,
                          CellType::Text,
                          format,
                          0,
                          value,
                          QStringLiteral("s"),
                          QString::fromStdString(value),
                          QString::fromUtf8(engine::numberFormatCode(format))};
    };
    auto boolean = [&](const char* name, bool value) {
        return WriterCase{
            name, CellType::Boolean, NumberFormat::General, value ? 1.0 : 0.0, {}, QStringLiteral("b"), value, general};
    };

    return {
        number("small integer", 42),
        number("zero", 0),
        number("negative integer", -7),
        number("largest 30-bit integer", 536870911),
        number("smallest 30-bit integer", -536870912),
        number("2^29, just past the integer form", 536870912),
        number("integer beyond 32 bits", 123456789012.0),
        number("15 significant digits", 123456789012345.0),
        number("hundredths", 0.1),
        number("negative hundredths", -1234.56),
        number("binary fraction", 1.5),
        number("pi", 3.141592653589793),
        number("17 significant digits", 0.30000000000000004),
        number("huge", 1e300),
        number("tiny", 1e-300),
        number("denormal", 5e-324),
        number("negative huge", -1.7976931348623157e308),
        number("percent", 0.12, NumberFormat::Percent),
        number("percent with decimals", 0.1234, NumberFormat::PercentDecimal),
        number("number in a text-formatted cell", 5, NumberFormat::Text),
        boolean("true", true),
        boolean("false", false),
        text("ASCII text", "hello world"),
        // An empty text is no cell, as the import makes none for an empty field.
        WriterCase{"empty text", CellType::Text, NumberFormat::General, 0, {}, QString(), QVariant(), QString()},
        text("Chinese text", "中文测试"),
        text("Latin-1 text", "Ünïcödé façade"),
        text("emoji text", "smile 😀 ok 🎉"),
        text("text with line break", "first line\nsecond line"),
        text("leading zeros as text", "007", NumberFormat::Text),
        text("long digits as text", "110101199003071234", NumberFormat::Text),
        text("formula-like text", "=SUM(A1:A2)"),
        date("ISO date", 45296, NumberFormat::DateIso, "2024-01-05T00:00:00"),
        date("ISO date-time", 45296 + 13.75 / 24, NumberFormat::DateTimeIso, "2024-01-05T13:45:00"),
        date("ISO date-time with seconds", 45296 + (13 * 3600 + 45 * 60 + 30) / 86400.0,
             NumberFormat::DateTimeSecondsIso, "2024-01-05T13:45:30"),
        date("slash date", 45296, NumberFormat::DateSlash, "2024-01-05T00:00:00"),
        date("slash date-time", 45296 + 0.5, NumberFormat::DateTimeSlash, "2024-01-05T12:00:00"),
        date("slash date-time with seconds", 45296 + 1.0 / 86400, NumberFormat::DateTimeSecondsSlash,
             "2024-01-05T00:00:01"),
        date("Chinese date", 45296, NumberFormat::DateChinese, "2024-01-05T00:00:00"),
        date("Chinese date-time", 45296 + 13.75 / 24, NumberFormat::DateTimeChinese, "2024-01-05T13:45:00"),
        date("Chinese date-time with seconds", 45296 + 0.25, NumberFormat::DateTimeSecondsChinese,
             "2024-01-05T06:00:00"),
        date("first unambiguous 1900 serial", 61, NumberFormat::DateIso, "1900-03-01T00:00:00"),
        date("time", 13.75 / 24, NumberFormat::Time, "13:45:00"),
        date("time with seconds", (23 * 3600 + 59 * 60 + 59) / 86400.0, NumberFormat::TimeSeconds, "23:59:59"),
    };
}
