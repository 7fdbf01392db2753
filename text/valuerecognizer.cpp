#include "text/valuerecognizer.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

namespace engine {

namespace {

constexpr std::size_t MaxExactDigits = 15; // what a spreadsheet number keeps of an integer

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads `min`..`max` digits at `pos` into `value`; false when there are fewer than `min`.
bool readDigits(std::string_view s, std::size_t& pos, int min, int max, int& value)
{
    int count = 0;
    value = 0;
    while (pos < s.size() && count < max && isDigit(s[pos])) {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++count;
    }
    return count >= min && !(pos < s.size() && isDigit(s[pos]));
}

bool startsWith(std::string_view s, std::size_t pos, std::string_view prefix)
{
    return s.size() - pos >= prefix.size() && s.compare(pos, prefix.size(), prefix) == 0;
}

// "13:45" or "13:45:30" from `pos` to the end of `s`, as a fraction of a day.
bool readTime(std::string_view s, std::size_t pos, double& fraction, bool& withSeconds)
{
    int hour, minute, second = 0;
    if (!readDigits(s, pos, 1, 2, hour) || pos >= s.size() || s[pos] != ':')
        return false;
    ++pos;
    if (!readDigits(s, pos, 2, 2, minute))
        return false;
    withSeconds = pos < s.size() && s[pos] == ':';
    if (withSeconds) {
        ++pos;
        if (!readDigits(s, pos, 2, 2, second))
            return false;
    }
    if (pos != s.size() || hour > 23 || minute > 59 || second > 59)
        return false;
    fraction = (hour * 3600 + minute * 60 + second) / 86400.0;
    return true;
}

// An optional " 13:45" or " 13:45:30" after a date at `pos`. `variant` is 0 for none, 1 with
// minutes, 2 with seconds.
bool readOptionalTime(std::string_view s, std::size_t pos, double& fraction, int& variant)
{
    fraction = 0;
    variant = 0;
    if (pos == s.size())
        return true;
    if (s[pos] != ' ')
        return false;
    bool withSeconds;
    if (!readTime(s, pos + 1, fraction, withSeconds))
        return false;
    variant = withSeconds ? 2 : 1;
    return true;
}

NumberFormat dateFormat(NumberFormat dateOnly, int timeVariant)
{
    return NumberFormat(int(dateOnly) + timeVariant);
}

// The rest of a date field from `pos`: nothing, or a time. The cell is the date's serial number
// (with the time as its fraction) in `dateOnly`'s format, or that format with the time's.
inline bool finishDate(std::string_view s, std::size_t pos, int year, int month, int day, NumberFormat dateOnly,
                       Cell& cell)
{
    double fraction;
    int timeVariant;
    if (!readOptionalTime(s, pos, fraction, timeVariant))
        return false;
    const std::optional<double> serial = dateSerial(year, month, day);
    if (!serial)
        return false;
    cell = Cell::makeNumber(*serial + fraction, dateFormat(dateOnly, timeVariant));
    return true;
}

// 2024-01-05, 2024/1/5 and 2024年1月5日, each optionally with a time.
bool recognizeDate(std::string_view s, Cell& cell)
{
    std::size_t pos = 0;
    int year, month, day;
    if (!readDigits(s, pos, 4, 4, year))
        return false;
    NumberFormat format;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '/')) {
        const char separator = s[pos++];
        if (!readDigits(s, pos, 1, 2, month) || pos >= s.size() || s[pos] != separator)
            return false;
        ++pos;
        if (!readDigits(s, pos, 1, 2, day))
            return false;
        format = separator == '-' ? NumberFormat::DateIso : NumberFormat::DateSlash;
    } else if (startsWith(s, pos, "年")) {
        pos += std::strlen("年");
        if (!readDigits(s, pos, 1, 2, month) || !startsWith(s, pos, "月"))
            return false;
        pos += std::strlen("月");
        if (!readDigits(s, pos, 1, 2, day) || !startsWith(s, pos, "日"))
            return false;
        pos += std::strlen("日");
        format = NumberFormat::DateChinese;
    } else {
        return false;
    }
    return finishDate(s, pos, year, month, day, format, cell);
}

// Where year, month and day stand among the three numbers of a date, for each date order of a
// column, from MDY to YDM.
struct DateOrder
{
    int year;
    int month;
    int day;
};
constexpr DateOrder dateOrders[] = {
    {2, 0, 1}, // MDY
    {2, 1, 0}, // DMY
    {0, 1, 2}, // YMD
    {1, 0, 2}, // MYD
    {1, 2, 0}, // DYM
    {0, 2, 1}, // YDM
};
static_assert(std::size(dateOrders) == std::size_t(ColumnType::YDM) - std::size_t(ColumnType::MDY) + 1);

// A date in the order a date column names: three numbers separated by the same one of / - .,
// the year with four digits, optionally followed by a time.
bool recognizeOrderedDate(std::string_view s, ColumnType type, Cell& cell)
{
    int parts[3];
    int lengths[3];
    std::size_t pos = 0;
    char separator = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= s.size())
                return false;
            if (i == 1) {
                separator = s[pos];
                if (separator != '/' && separator != '-' && separator != '.')
                    return false;
            } else if (s[pos] != separator) {
                return false;
            }
            ++pos;
        }
        const std::size_t start = pos;
        if (!readDigits(s, pos, 1, 4, parts[i]))
            return false;
        lengths[i] = int(pos - start);
    }
    if (type < ColumnType::MDY || type > ColumnType::YDM)
        return false;
    const DateOrder& order = dateOrders[int(type) - int(ColumnType::MDY)];
    if (lengths[order.year] != 4 || lengths[order.month] > 2 || lengths[order.day] > 2)
        return false;
    return finishDate(s, pos, parts[order.year], parts[order.month], parts[order.day], NumberFormat::DateIso, cell);
}

// A number as written, taken apart: its sign and percent, and its digits without signs and
// separators (`clean`, as std::from_chars reads them).
struct NumberSpelling
{
    bool negative = false;
    bool percent = false;
    bool grouped = false;
    bool decimalPoint = false;
    bool exponent = false;
    std::size_t intDigits = 0;
    std::size_t fractionDigits = 0;
    char* clean = nullptr;
    std::size_t length = 0;
};

// "(12)" is negative and "12%" a percentage: what is left between them is the number itself.
std::string_view stripAffixes(std::string_view s, NumberSpelling& number)
{
    if (s.size() >= 2 && s.front() == '(' && s.back() == ')') {
        number.negative = true;
        s = s.substr(1, s.size() - 2);
    }
    if (!s.empty() && s.back() == '%') {
        number.percent = true;
        s.remove_suffix(1);
    }
    return s;
}

// Digits, or groups of three separated by commas after one to three digits, from `pos`.
bool readIntegerPart(std::string_view s, std::size_t& pos, NumberSpelling& number)
{
    const std::size_t start = pos;
    while (pos < s.size() && isDigit(s[pos]))
        number.clean[number.length++] = s[pos++];
    number.intDigits = pos - start;
    if (pos < s.size() && s[pos] == ',') {
        if (number.intDigits < 1 || number.intDigits > 3)
            return false;
        number.grouped = true;
        while (pos < s.size() && s[pos] == ',') {
            ++pos;
            for (int k = 0; k < 3; ++k, ++pos) {
                if (pos >= s.size() || !isDigit(s[pos]))
                    return false;
                number.clean[number.length++] = s[pos];
            }
            number.intDigits += 3;
        }
        if (pos < s.size() && isDigit(s[pos]))
            return false;
    }
    return !(number.intDigits > 1 && s[start] == '0'); // "007": the zeros would be lost
}

// An optional decimal part and, without groups or a percent sign, an optional exponent.
bool readFractionAndExponent(std::string_view s, std::size_t& pos, NumberSpelling& number)
{
    if (pos < s.size() && s[pos] == '.') {
        number.decimalPoint = true;
        number.clean[number.length++] = s[pos++];
        while (pos < s.size() && isDigit(s[pos])) {
            number.clean[number.length++] = s[pos++];
            ++number.fractionDigits;
        }
    }
    if (number.intDigits + number.fractionDigits == 0)
        return false;
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E') && !number.grouped && !number.percent) {
        number.exponent = true;
        number.clean[number.length++] = 'e';
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
            number.clean[number.length++] = s[pos++];
        const std::size_t expStart = pos;
        while (pos < s.size() && isDigit(s[pos]))
            number.clean[number.length++] = s[pos++];
        if (pos == expStart)
            return false;
    }
    return pos == s.size();
}

bool valueOf(const NumberSpelling& number, double& value)
{
    if (!number.decimalPoint && !number.exponent) {
        // At most 15 digits: exact in an integer and in a double, no rounding to get right.
        std::int64_t integer = 0;
        for (std::size_t i = 0; i < number.length; ++i)
            integer = integer * 10 + (number.clean[i] - '0');
        value = double(integer);
    } else if (!number.exponent && number.intDigits + number.fractionDigits <= MaxExactDigits) {
        // The digits make an integer below 2^53 and the power of ten is exact, so one correctly
        // rounded division gives the correctly rounded value, as from_chars would, in a fraction
        // of its time (most decimals in a text are of this kind).
        static constexpr double powersOfTen[MaxExactDigits + 1] = {1,   1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        std::int64_t digits = 0;
        for (std::size_t i = 0; i < number.length; ++i) {
            if (number.clean[i] != '.')
                digits = digits * 10 + (number.clean[i] - '0');
        }
        value = double(digits) / powersOfTen[number.fractionDigits];
    } else {
        const auto result = std::from_chars(number.clean, number.clean + number.length, value);
        if (result.ec != std::errc() || result.ptr != number.clean + number.length)
            return false;
    }
    if (number.negative)
        value = -value;
    if (value == 0)
        value = 0; // no negative zero
    return true;
}

// Numbers: an optional sign, digits (or groups of three separated by commas), an optional
// decimal part and, without groups, an optional exponent; "(12)" is -12 and "12%" is 0.12.
// Numbers that a spreadsheet number would change are left as text: leading zeros, and an integer
// part of more than 15 digits, with or without a fraction (an identity number, or an amount
// whose last digits would be rounded away). Exponent forms say themselves how exact they are.
bool recognizeNumber(std::string_view s, Cell& cell)
{
    NumberSpelling number;
    s = stripAffixes(s, number);
    std::size_t pos = 0;
    if (!number.negative && pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        number.negative = s[pos] == '-';
        ++pos;
    }
    char stackBuffer[64];
    std::string heapBuffer;
    number.clean = stackBuffer;
    if (s.size() + 1 > sizeof stackBuffer) {
        heapBuffer.resize(s.size() + 1);
        number.clean = heapBuffer.data();
    }
    if (!readIntegerPart(s, pos, number) || !readFractionAndExponent(s, pos, number))
        return false;
    if (!number.exponent && number.intDigits > MaxExactDigits)
        return false;
    double value = 0;
    if (!valueOf(number, value))
        return false;
    if (number.percent)
        cell = Cell::makeNumber(value / 100,
                                number.fractionDigits > 0 ? NumberFormat::PercentDecimal : NumberFormat::Percent);
    else
        cell = Cell::makeNumber(value);
    return true;
}

bool equalsIgnoringCase(std::string_view s, std::string_view lowerWord)
{
    if (s.size() != lowerWord.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != lowerWord[i])
            return false;
    }
    return true;
}

} // namespace

std::optional<double> dateSerial(int year, int month, int day)
{
    if (year < 1900 || month < 1 || month > 12 || day < 1)
        return std::nullopt;
    static const int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > monthDays[month - 1] + (month == 2 && leap ? 1 : 0))
        return std::nullopt;
    // Days from 0000-03-01 of the proleptic Gregorian calendar (a year starting in March puts
    // the leap day last), in 64 bits: a date set into a cell may lie far beyond year 9999.
    auto daysFromCivil = [](std::int64_t y, int m, int d) {
        y -= m <= 2;
        const std::int64_t era = y / 400;
        const std::int64_t yearOfEra = y - era * 400;
        const std::int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
        return era * 146097 + dayOfEra;
    };
    std::int64_t serial = daysFromCivil(year, month, day) - daysFromCivil(1899, 12, 30);
    if (serial < 61)
        --serial;
    return double(serial);
}

std::string_view trimBlanks(std::string_view field)
{
    std::size_t begin = 0;
    std::size_t end = field.size();
    while (begin < end && (field[begin] == ' ' || field[begin] == '\t'))
        ++begin;
    while (end > begin && (field[end - 1] == ' ' || field[end - 1] == '\t'))
        --end;
    return field.substr(begin, end - begin);
}

Cell recognizeGeneral(std::string_view field)
{
    if (field.empty())
        return Cell{};
    const std::string_view s = trimBlanks(field);
    Cell cell = Cell::makeText(field);
    if (s.empty() || s[0] == '=')
        return cell;
    const char first = s[0];
    if (isDigit(first)) {
        // Dates begin with a four-digit year and times with an hour and a colon; neither can
        // be a number.
        if (s.size() > 4 && isDigit(s[1]) && isDigit(s[2]) && isDigit(s[3]) && !isDigit(s[4]) && s[4] != '.' &&
            s[4] != ',' && s[4] != 'e' && s[4] != 'E' && s[4] != '%') {
            recognizeDate(s, cell);
            return cell;
        }
        if ((s.size() > 1 && s[1] == ':') || (s.size() > 2 && s[2] == ':')) {
            double fraction;
            bool withSeconds;
            if (readTime(s, 0, fraction, withSeconds))
                cell = Cell::makeNumber(fraction, withSeconds ? NumberFormat::TimeSeconds : NumberFormat::Time);
            return cell;
        }
        recognizeNumber(s, cell);
        return cell;
    }
    if (first == '+' || first == '-' || first == '.' || first == '(') {
        recognizeNumber(s, cell);
        return cell;
    }
    if (equalsIgnoringCase(s, "true"))
        return Cell::makeBoolean(true);
    if (equalsIgnoringCase(s, "false"))
        return Cell::makeBoolean(false);
    return cell;
}

Cell recognizeField(std::string_view field, ColumnType type)
{
    if (field.empty())
        return Cell{};
    switch (type) {
    case ColumnType::Text:
        return Cell::makeText(field, NumberFormat::Text);
    case ColumnType::Skip:
        return Cell{};
    case ColumnType::MDY:
    case ColumnType::DMY:
    case ColumnType::YMD:
    case ColumnType::MYD:
    case ColumnType::DYM:
    case ColumnType::YDM: {
        Cell cell;
        if (recognizeOrderedDate(trimBlanks(field), type, cell))
            return cell;
        return recognizeGeneral(field);
    }
    default:
        return recognizeGeneral(field);
    }
}

} // namespace engine
