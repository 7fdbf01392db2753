#pragma once
// cells/: the cell model between reading and writing: a recognised Cell with its number formats,
// their codes and numbers (this header), a stream of rows (rowsource.h), the cells of a workbook
// filled cell by cell (cellmodel.h), and the interface of a file format's writer with the limits
// both formats share (workbookwriter.h).
//
// A recognised cell value: what the text import (or a value set cell by cell) hands to the
// workbook writers. Writers know nothing of text recognition; they store what a Cell says.

#include <cstdint>
#include <string_view>

namespace engine {

enum class CellType : std::uint8_t {
    Empty,   // no cell is written
    Number,  // `number`; dates and times are serial numbers with a date/time format
    Boolean, // `number` is 0 or 1
    Text,    // `text`, UTF-8, stored exactly as given
};

// The number formats the engine writes. Every writer maps each to the format code that
// numberFormatCode() gives.
enum class NumberFormat : std::uint8_t {
    General,
    Text,               // "@"
    Percent,            // 0%
    PercentDecimal,     // 0.00%
    DateIso,            // yyyy-mm-dd
    DateTimeIso,        // yyyy-mm-dd hh:mm
    DateTimeSecondsIso, // yyyy-mm-dd hh:mm:ss
    DateSlash,          // yyyy/m/d
    DateTimeSlash,
    DateTimeSecondsSlash,
    DateChinese, // yyyy"年"m"月"d"日"
    DateTimeChinese,
    DateTimeSecondsChinese,
    Time,        // hh:mm
    TimeSeconds, // hh:mm:ss
    Count
};

// The spreadsheet format code of a number format, UTF-8 ("General" for General).
const char* numberFormatCode(NumberFormat format);

// Where the numbers of a workbook's own number formats start: below it, the built-in ones.
constexpr int FirstUserFormatId = 164;

// The number a workbook gives a number format, in .xlsx and .xls alike: the built-in number where
// the built-in format is exactly ours (0 General, 9 "0%", 10 "0.00%", 49 "@"), else
// FirstUserFormatId plus the format's value.
int numberFormatId(NumberFormat format);

struct Cell
{
    CellType type = CellType::Empty;
    NumberFormat format = NumberFormat::General;
    double number = 0;
    std::string_view text; // valid while the row that holds the cell is current

    static Cell makeNumber(double value, NumberFormat format = NumberFormat::General)
    {
        return Cell{CellType::Number, format, value, {}};
    }
    static Cell makeBoolean(bool value)
    {
        return Cell{CellType::Boolean, NumberFormat::General, value ? 1.0 : 0.0, {}};
    }
    static Cell makeText(std::string_view value, NumberFormat format = NumberFormat::General)
    {
        return Cell{CellType::Text, format, 0, value};
    }
};

} // namespace engine
