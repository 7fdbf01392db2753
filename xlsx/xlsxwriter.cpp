#include "xlsx/xlsxwriter.h"

#include "xlsx/zipwriter.h"

#include <QDir>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace engine {

namespace {

constexpr int kMaxRows = 1048576;
constexpr int kMaxColumns = 16384;

constexpr char kXmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
constexpr char kMainNamespace[] = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr char kRelationshipNamespace[] = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when `text` at `pos` reads "_xHHHH_".
bool isEscapeAt(std::string_view text, std::size_t pos)
{
    return pos + 7 <= text.size() && text[pos] == '_' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
           isHex(text[pos + 2]) && isHex(text[pos + 3]) && isHex(text[pos + 4]) && isHex(text[pos + 5]) &&
           text[pos + 6] == '_';
}

// Bytes that need a look before they are copied: control characters, XML markup, '_'.
constexpr std::array<bool, 256> specialBytes()
{
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[std::size_t(c)] = c != '\t' && c != '\n';
    table['\r'] = true;
    table['&'] = table['<'] = table['>'] = table['_'] = true;
    table[0xef] = true; // the lead byte of U+FFFE and U+FFFF
    return table;
}
constexpr std::array<bool, 256> kSpecial = specialBytes();

// Rows are formatted into a buffer sized beforehand and written with plain copies: a row of ten
// cells otherwise costs some sixty string appends, each checking its room.
template <std::size_t N>
inline char* put(char* p, const char (&literal)[N])
{
    std::memcpy(p, literal, N - 1);
    return p + N - 1;
}

// Copies a piece of at most 16 bytes (a row number, a style attribute, most texts) with two
// overlapping fixed-size moves instead of a call to memcpy.
inline char* putShort(char* p, std::string_view text)
{
    const char* s = text.data();
    const std::size_t n = text.size();
    if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, s, 8);
        std::memcpy(&tail, s + n - 8, 8);
        std::memcpy(p, &head, 8);
        std::memcpy(p + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, s, 4);
        std::memcpy(&tail, s + n - 4, 4);
        std::memcpy(p, &head, 4);
        std::memcpy(p + n - 4, &tail, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            p[i] = s[i];
    }
    return p + n;
}

inline char* put(char* p, std::string_view text)
{
    if (text.size() <= 16)
        return putShort(p, text);
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// The most bytes one byte of text becomes when escaped: a control character as "_x001F_".
constexpr std::size_t kMaxEscapedPerByte = 7;

// Escapes `text` to `p`, which has room for kMaxEscapedPerByte bytes per byte of text; with
// `markup`, XML's '&', '<' and '>' too. Returns the end of what it wrote.
char* escapeTo(char* p, std::string_view text, bool markup)
{
    static const char hex[] = "0123456789ABCDEF";
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!kSpecial[c])
            continue;
        std::string_view replacement;
        char control[7];
        if (c == '_') {
            if (!isEscapeAt(text, i))
                continue;
            replacement = "_x005F_"; // the underscore itself, escaped; the rest follows as written
        } else if (c == '&' || c == '<' || c == '>' || c == '\r') {
            if (!markup)
                continue;
            // A literal carriage return would reach readers as a line feed; a character
            // reference keeps it.
            replacement = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : "&#13;";
        } else if (c == 0xef) {
            // U+FFFE and U+FFFF are no XML characters either.
            if (i + 2 >= text.size() || static_cast<unsigned char>(text[i + 1]) != 0xbf ||
                (static_cast<unsigned char>(text[i + 2]) & 0xfe) != 0xbe)
                continue;
            p = put(p, text.substr(plain, i - plain));
            p = put(p, static_cast<unsigned char>(text[i + 2]) == 0xbe ? "_xFFFE_" : "_xFFFF_");
            i += 2;
            plain = i + 1;
            continue;
        } else {
            std::memcpy(control, "_x00", 4);
            control[4] = hex[c >> 4];
            control[5] = hex[c & 15];
            control[6] = '_';
            replacement = std::string_view(control, sizeof control);
        }
        p = put(p, text.substr(plain, i - plain));
        p = put(p, replacement);
        plain = i + 1;
    }
    return put(p, text.substr(plain));
}

void appendEscaped(std::string& out, std::string_view text, bool markup)
{
    const std::size_t start = out.size();
    out.resize(start + kMaxEscapedPerByte * text.size());
    out.resize(std::size_t(escapeTo(out.data() + start, text, markup) - out.data()));
}

// The longest spelling writeNumber() gives ("-1.7976931348623157e+308" and some room).
constexpr std::size_t kMaxNumberLength = 32;

// `x` rounded to an integer, for |x| below 2^52: adding and taking away 2^52 leaves no fraction
// bits (std::nearbyint is a call into the maths library that costs more than the rest of a
// number's spelling). A tie may round either way: writeNumber checks what it gets.
inline double roundedToInteger(double x)
{
    constexpr double kTwoTo52 = 4503599627370496.0;
    return x >= 0 ? (x + kTwoTo52) - kTwoTo52 : (x - kTwoTo52) + kTwoTo52;
}

// Writes the shortest decimal spelling of `value` that reads back as the same double, the same
// as std::to_chars writes, to `p`; returns its end.
char* writeNumber(char* p, double value)
{
    // Most numbers in a text are integers or have a few decimals, which this finds far faster than
    // the general algorithm. With at most 15 significant digits a decimal is the only one of its
    // length that reads as its double, so the first k for which value * 10^k rounds to an integer
    // M that, divided by 10^k, gives back exactly the value (division is correctly rounded, as a
    // reader's conversion is) gives the shortest digits: those of M. Where to_chars would use the
    // exponent form (1e+07, 1e-05), it writes them itself.
    static constexpr double kPowersOfTen[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    static constexpr double kExactDigitsLimit = 1e15;
    if (value != 0 && std::fabs(value) < kExactDigitsLimit) {
        for (int k = 0; k < int(std::size(kPowersOfTen)); ++k) {
            const double scaled = roundedToInteger(value * kPowersOfTen[k]);
            if (!(std::fabs(scaled) < kExactDigitsLimit))
                break;
            if (scaled / kPowersOfTen[k] != value)
                continue;
            char digits[20];
            const auto magnitude = static_cast<std::int64_t>(std::fabs(scaled));
            const int count = int(std::to_chars(digits, digits + sizeof digits, magnitude).ptr - digits);
            int significant = count;
            while (k == 0 && digits[significant - 1] == '0')
                --significant;
            const int fixedLength = k == 0 ? count : (count > k ? count + 1 : k + 2);
            const int exponentLength = significant + (significant > 1 ? 1 : 0) + 4; // "e+XX"
            if (fixedLength > exponentLength)
                break; // the exponent form is shorter: to_chars writes it
            if (value < 0)
                *p++ = '-';
            if (k == 0)
                return put(p, std::string_view(digits, std::size_t(count)));
            if (count > k) {
                p = put(p, std::string_view(digits, std::size_t(count - k)));
                *p++ = '.';
                return put(p, std::string_view(digits + count - k, std::size_t(k)));
            }
            *p++ = '0';
            *p++ = '.';
            for (int zeros = k - count; zeros > 0; --zeros)
                *p++ = '0';
            return put(p, std::string_view(digits, std::size_t(count)));
        }
    }
    // Without a precision, to_chars gives the shortest form that reads back as the same value.
    return std::to_chars(p, p + kMaxNumberLength, value).ptr;
}

// Escapes an attribute value (names, format codes): XML markup and quotes.
std::string xmlAttribute(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void appendInt(std::string& out, long long value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

std::string columnLetters(int column)
{
    std::string letters;
    for (int n = column + 1; n > 0; n = (n - 1) / 26)
        letters.insert(letters.begin(), char('A' + (n - 1) % 26));
    return letters;
}

// W3C date-time in UTC, as the document properties hold it. Spelt out by hand: Qt's formatting
// with a pattern goes through the system locale, which is not safe to use from several threads at
// once (a workbook saved beside others could get an empty time).
std::string documentTime(const QDateTime& created)
{
    const qint64 seconds = created.isValid() ? created.toSecsSinceEpoch() : 0;
    const QDateTime time = QDateTime::fromSecsSinceEpoch(seconds > 0 ? seconds : 1, Qt::UTC);
    const QDate date = time.date();
    const QTime clock = time.time();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", date.year(), date.month(), date.day(),
                  clock.hour(), clock.minute(), clock.second());
    return text;
}

// Room for a row's own markup ("<row r=\"1048576\">", "</row>") and for each cell's apart from its
// text: "<c r=\"XFD1048576\" s=\"14\" t=\"inlineStr\"><is><t xml:space=\"preserve\">" and its
// closing tags, or a number with its tags.
constexpr std::size_t kRowMarkup = 32;
constexpr std::size_t kCellMarkup = 96 + kMaxNumberLength;

// The style attribute of each number format, by its value (the cell format of that index).
constexpr std::string_view kStyleAttributes[] = {
    "",         " s=\"1\"", " s=\"2\"",  " s=\"3\"",  " s=\"4\"",  " s=\"5\"",  " s=\"6\"",  " s=\"7\"",
    " s=\"8\"", " s=\"9\"", " s=\"10\"", " s=\"11\"", " s=\"12\"", " s=\"13\"", " s=\"14\"",
};
static_assert(std::size(kStyleAttributes) == std::size_t(NumberFormat::Count));

// The rest of a cell that is not empty after its reference and style: its type, its value and
// the closing tag.
inline char* putCellValue(char* p, const Cell& cell)
{
    switch (cell.type) {
    case CellType::Number:
        p = put(p, "><v>");
        p = writeNumber(p, cell.number);
        return put(p, "</v></c>");
    case CellType::Boolean:
        return put(p, cell.number != 0 ? std::string_view(" t=\"b\"><v>1</v></c>")
                                       : std::string_view(" t=\"b\"><v>0</v></c>"));
    case CellType::Text: {
        // Leading or trailing white space is kept only when the element says so.
        const char front = cell.text.front();
        const char back = cell.text.back();
        const bool preserve = front == ' ' || front == '\t' || front == '\n' || front == '\r' || back == ' ' ||
                              back == '\t' || back == '\n' || back == '\r';
        p = put(p, preserve ? std::string_view(" t=\"inlineStr\"><is><t xml:space=\"preserve\">")
                            : std::string_view(" t=\"inlineStr\"><is><t>"));
        p = escapeTo(p, cell.text, true);
        return put(p, "</t></is></c>");
    }
    case CellType::Empty:
        break;
    }
    return p;
}

class XlsxWriter : public WorkbookWriter
{
public:
    WorkbookLimits limits() const override { return {kMaxRows, kMaxColumns, MaxCellCharacters}; }

    using WorkbookWriter::begin;
    bool begin(QIODevice* device, const QDateTime& created) override
    {
        if (m_begun)
            return fail(QStringLiteral("the workbook is already started"));
        if (!m_zip.open(device))
            return fail(m_zip.errorString());
        m_begun = true;
        m_created = documentTime(created);
        return true;
    }

    bool addSheet(const QString& name, const std::vector<std::pair<int, NumberFormat>>& columnFormats) override
    {
        if (!m_begun || m_failed)
            return fail(QStringLiteral("the workbook is not started"));
        if (!checkSheetName(name))
            return false;
        if (m_inSheet && !endSheet())
            return false;

        m_sheetNames.push_back(name);
        setColumnFormats(columnFormats);
        if (!m_zip.beginEntry("xl/worksheets/sheet" + std::to_string(m_sheetNames.size()) + ".xml"))
            return fail(m_zip.errorString());
        m_inSheet = true;
        m_nextRow = 0;
        appendSheetStart(m_zip.buffer());
        return true;
    }

    bool writeRow(int row, const Cell* cells, int count) override
    {
        if (!m_inSheet || m_failed)
            return fail(QStringLiteral("no sheet has been started"));
        if (row < 0 || row >= kMaxRows || count > kMaxColumns)
            return fail(QStringLiteral("row %1 is beyond the sheet").arg(row + 1));
        if (std::size_t(count) > m_columnNames.size())
            addColumnNames(std::size_t(count));
        if (!makeRoomForRow(row, cells, count))
            return false;
        char* const begin = m_row.data();
        char* p = begin;

        char rowDigits[12];
        const auto digitsEnd = std::to_chars(rowDigits, rowDigits + sizeof rowDigits, row + 1).ptr;
        const std::string_view rowNumber(rowDigits, std::size_t(digitsEnd - rowDigits));

        // A row without a reference stands right after the previous one (the first row in row 1);
        // a row's reference is written only after a skipped row. Every cell carries its reference,
        // although the standard lets a cell without a gap before it go without: Gnumeric places a
        // cell by its reference alone and loses every cell that has none.
        bool open = false;
        for (int c = 0; c < count; ++c) {
            const Cell& cell = cells[c];
            if (cell.type == CellType::Empty || (cell.type == CellType::Text && cell.text.empty()))
                continue;
            if (!open) {
                p = row == m_nextRow ? put(p, "<row>") : putRowWithReference(p, rowNumber);
                open = true;
            }
            p = putCellWithReference(p, c, rowNumber);
            p = put(p, kStyleAttributes[std::size_t(formatOf(cell, c))]);
            p = putCellValue(p, cell);
        }
        if (open) {
            p = put(p, "</row>");
            m_nextRow = row + 1;
        }
        m_zip.buffer().append(begin, std::size_t(p - begin));
        if (!m_zip.flushIfFull())
            return fail(m_zip.errorString());
        return true;
    }

    bool finish() override
    {
        if (!m_begun || m_failed)
            return fail(QStringLiteral("the workbook is not started"));
        if (m_sheetNames.empty())
            return fail(QStringLiteral("a workbook needs at least one sheet"));
        if (m_inSheet && !endSheet())
            return false;
        // Most workbooks have one sheet; their parts that do not name it are packed once.
        const PackedParts& packed = packedParts();
        const std::size_t sheets = m_sheetNames.size();
        const bool ok = (sheets == 1 ? addPacked("[Content_Types].xml", packed.oneSheetContentTypes)
                                     : addPart("[Content_Types].xml", contentTypes(sheets))) &&
                        addPacked("_rels/.rels", packed.rootRelationships) &&
                        addPacked("docProps/app.xml", packed.appProperties) &&
                        addPart("docProps/core.xml", coreProperties()) && addPart("xl/workbook.xml", workbook()) &&
                        (sheets == 1 ? addPacked("xl/_rels/workbook.xml.rels", packed.oneSheetWorkbookRelationships)
                                     : addPart("xl/_rels/workbook.xml.rels", workbookRelationships(sheets))) &&
                        addPacked("xl/styles.xml", packed.styles);
        if (!ok)
            return false;
        if (!m_zip.close())
            return fail(m_zip.errorString());
        m_begun = false;
        QString error;
        if (!commitOwnFile(&error))
            return fail(error);
        return true;
    }

    QString errorString() const override { return m_error.isEmpty() ? ownFileError() : m_error; }

private:
    NumberFormat formatOf(const Cell& cell, int column) const
    {
        if (cell.format != NumberFormat::General && cell.format < NumberFormat::Count)
            return cell.format;
        // A cell keeps its column's format: a cell without a format of its own would show as
        // General even in a text column.
        return std::size_t(column) < m_columnFormats.size() ? m_columnFormats[std::size_t(column)]
                                                            : NumberFormat::General;
    }

    // A name every reader takes: 1 to 31 characters, none of []:*?/\, no apostrophe at either end,
    // and not the name of another sheet, whatever the case.
    bool checkSheetName(const QString& name)
    {
        if (name.isEmpty() || name.size() > MaxSheetNameLength)
            return fail(QStringLiteral("invalid sheet name \"%1\": a name has 1 to %2 characters")
                            .arg(name)
                            .arg(MaxSheetNameLength));
        for (QChar c : QStringLiteral("[]:*?/\\")) {
            if (name.contains(c))
                return fail(QStringLiteral("invalid sheet name \"%1\": it contains '%2'").arg(name, c));
        }
        if (name.startsWith(QLatin1Char('\'')) || name.endsWith(QLatin1Char('\'')))
            return fail(QStringLiteral("invalid sheet name \"%1\": it starts or ends with an apostrophe").arg(name));
        for (const QString& other : m_sheetNames) {
            if (other.compare(name, Qt::CaseInsensitive) == 0)
                return fail(QStringLiteral("two sheets are named \"%1\"").arg(name));
        }
        return true;
    }

    void setColumnFormats(const std::vector<std::pair<int, NumberFormat>>& columnFormats)
    {
        // Only as many columns as the last one with a format of its own; the rest are General.
        m_columnFormats.clear();
        for (const auto& [column, format] : columnFormats) {
            if (column < 0 || column >= kMaxColumns || format >= NumberFormat::Count)
                continue;
            if (std::size_t(column) >= m_columnFormats.size())
                m_columnFormats.resize(std::size_t(column) + 1, NumberFormat::General);
            m_columnFormats[std::size_t(column)] = format;
        }
        m_formattedColumns = int(m_columnFormats.size());
    }

    // The sheet's XML up to its rows: the view, the row height and the column formats.
    void appendSheetStart(std::string& out) const
    {
        out += kXmlDeclaration;
        out += "<worksheet xmlns=\"";
        out += kMainNamespace;
        out += "\" xmlns:r=\"";
        out += kRelationshipNamespace;
        out += "\"><sheetViews><sheetView ";
        if (m_sheetNames.size() == 1)
            out += "tabSelected=\"1\" ";
        out += "workbookViewId=\"0\"/></sheetViews><sheetFormatPr defaultRowHeight=\"15\"/>";
        appendColumns(out);
        out += "<sheetData>";
    }

    // One column entry per run of equal formats keeps the column list short; General columns need
    // none, and a sheet without formatted columns has no list.
    void appendColumns(std::string& out) const
    {
        bool anyColumn = false;
        int first = 0;
        while (first < m_formattedColumns) {
            int last = first;
            while (last + 1 < m_formattedColumns &&
                   m_columnFormats[std::size_t(last + 1)] == m_columnFormats[std::size_t(first)])
                ++last;
            const NumberFormat format = m_columnFormats[std::size_t(first)];
            if (format != NumberFormat::General) {
                out += anyColumn ? "" : "<cols>";
                anyColumn = true;
                out += "<col min=\"";
                appendInt(out, first + 1);
                out += "\" max=\"";
                appendInt(out, last + 1);
                out += "\" width=\"9.140625\" style=\"";
                appendInt(out, int(format));
                out += "\"/>";
            }
            first = last + 1;
        }
        if (anyColumn)
            out += "</cols>";
    }

    // The start of a referenced cell, <c r="AB, for each column up to `count`: made once for the rows
    // to come.
    void addColumnNames(std::size_t count)
    {
        const std::size_t from = m_columnNames.size();
        m_columnNames.resize(count);
        for (std::size_t c = from; c < count; ++c)
            m_columnNames[c] = "<c r=\"" + columnLetters(int(c));
    }

    // Makes m_row large enough for the row at worst: every cell's markup with its text escaped or
    // its number. Fails on a number that is not finite, which no cell can hold.
    bool makeRoomForRow(int row, const Cell* cells, int count)
    {
        std::size_t room = kRowMarkup;
        for (int c = 0; c < count; ++c) {
            const Cell& cell = cells[c];
            if (cell.type == CellType::Number && !std::isfinite(cell.number))
                return fail(QStringLiteral("row %1, column %2: not a finite number").arg(row + 1).arg(c + 1));
            room += kCellMarkup + (cell.type == CellType::Text ? kMaxEscapedPerByte * cell.text.size() : 0);
        }
        if (m_row.size() < room)
            m_row.resize(room);
        return true;
    }

    static char* putRowWithReference(char* p, std::string_view rowNumber)
    {
        p = put(p, "<row r=\"");
        p = put(p, rowNumber);
        return put(p, "\">");
    }

    // The start of a cell with its reference, up to its style: <c r="AB12".
    char* putCellWithReference(char* p, int column, std::string_view rowNumber) const
    {
        p = put(p, m_columnNames[std::size_t(column)]);
        p = put(p, rowNumber);
        *p++ = '"';
        return p;
    }

    bool endSheet()
    {
        m_inSheet = false;
        std::string& out = m_zip.buffer();
        out += "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
               "footer=\"0.3\"/></worksheet>";
        if (!m_zip.endEntry())
            return fail(m_zip.errorString());
        return true;
    }

    bool addPart(const char* name, const std::string& xml)
    {
        if (!m_zip.addEntry(name, xml))
            return fail(m_zip.errorString());
        return true;
    }

    bool addPacked(const char* name, const ZipWriter::PackedData& packed)
    {
        if (!m_zip.addPacked(name, packed))
            return fail(m_zip.errorString());
        return true;
    }

    // The parts that are the same in every workbook (or every workbook of one sheet), deflated
    // once per process. A run over many small texts otherwise spends a good part of each
    // workbook's compression on them.
    struct PackedParts
    {
        ZipWriter::PackedData oneSheetContentTypes = ZipWriter::pack(contentTypes(1));
        ZipWriter::PackedData rootRelationships = ZipWriter::pack(XlsxWriter::rootRelationships());
        ZipWriter::PackedData appProperties = ZipWriter::pack(XlsxWriter::appProperties());
        ZipWriter::PackedData oneSheetWorkbookRelationships = ZipWriter::pack(workbookRelationships(1));
        ZipWriter::PackedData styles = ZipWriter::pack(XlsxWriter::styles());
    };
    static const PackedParts& packedParts()
    {
        static const PackedParts parts;
        return parts;
    }

    static std::string contentTypes(std::size_t sheets)
    {
        std::string xml = kXmlDeclaration;
        xml += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
               "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
               "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
               "<Override PartName=\"/docProps/app.xml\" "
               "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
               "<Override PartName=\"/docProps/core.xml\" "
               "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
               "<Override PartName=\"/xl/styles.xml\" "
               "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
               "<Override PartName=\"/xl/workbook.xml\" "
               "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>";
        for (std::size_t i = 1; i <= sheets; ++i) {
            xml += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(i) +
                   ".xml\" ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
        }
        xml += "</Types>";
        return xml;
    }

    static std::string rootRelationships()
    {
        std::string xml = kXmlDeclaration;
        xml += "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
               "<Relationship Id=\"rId1\" "
               "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
               "Target=\"xl/workbook.xml\"/>"
               "<Relationship Id=\"rId2\" "
               "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" "
               "Target=\"docProps/core.xml\"/>"
               "<Relationship Id=\"rId3\" "
               "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties\" "
               "Target=\"docProps/app.xml\"/>"
               "</Relationships>";
        return xml;
    }

    static std::string appProperties()
    {
        std::string xml = kXmlDeclaration;
        xml += "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
               "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
               "<Application>Quillmorne</Application><DocSecurity>0</DocSecurity><ScaleCrop>false</ScaleCrop>"
               "<LinksUpToDate>false</LinksUpToDate><SharedDoc>false</SharedDoc>"
               "<HyperlinksChanged>false</HyperlinksChanged><AppVersion>12.0000</AppVersion></Properties>";
        return xml;
    }

    std::string coreProperties() const
    {
        std::string xml = kXmlDeclaration;
        xml += "<cp:coreProperties "
               "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
               "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
               "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
               "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
               m_created + "</dcterms:created><dcterms:modified xsi:type=\"dcterms:W3CDTF\">" + m_created +
               "</dcterms:modified></cp:coreProperties>";
        return xml;
    }

    std::string workbook() const
    {
        std::string xml = kXmlDeclaration;
        xml += std::string("<workbook xmlns=\"") + kMainNamespace + "\" xmlns:r=\"" + kRelationshipNamespace +
               "\"><workbookPr/><bookViews><workbookView/></bookViews><sheets>";
        for (std::size_t i = 0; i < m_sheetNames.size(); ++i) {
            const std::string id = std::to_string(i + 1);
            xml += "<sheet name=\"" + xmlAttribute(m_sheetNames[i].toStdString()) + "\" sheetId=\"" + id +
                   "\" r:id=\"rId" + id + "\"/>";
        }
        xml += "</sheets></workbook>";
        return xml;
    }

    static std::string workbookRelationships(std::size_t sheets)
    {
        std::string xml = kXmlDeclaration;
        xml += "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        for (std::size_t i = 1; i <= sheets; ++i) {
            const std::string id = std::to_string(i);
            xml += "<Relationship Id=\"rId" + id +
                   "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
                   "Target=\"worksheets/sheet" +
                   id + ".xml\"/>";
        }
        xml += "<Relationship Id=\"rId" + std::to_string(sheets + 1) +
               "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
               "Target=\"styles.xml\"/></Relationships>";
        return xml;
    }

    // One cell format per NumberFormat, at the index of its enum value.
    static std::string styles()
    {
        std::string formats;
        int custom = 0;
        for (int i = 0; i < int(NumberFormat::Count); ++i) {
            const int id = numberFormatId(NumberFormat(i));
            if (id < FirstUserFormatId)
                continue;
            ++custom;
            formats += "<numFmt numFmtId=\"" + std::to_string(id) + "\" formatCode=\"" +
                       xmlAttribute(numberFormatCode(NumberFormat(i))) + "\"/>";
        }
        std::string xml = kXmlDeclaration;
        xml += std::string("<styleSheet xmlns=\"") + kMainNamespace + "\"><numFmts count=\"" + std::to_string(custom) +
               "\">" + formats + "</numFmts>";
        xml += "<fonts count=\"1\"><font><sz val=\"11\"/><color rgb=\"FF000000\"/><name val=\"Calibri\"/>"
               "<family val=\"2\"/><scheme val=\"minor\"/></font></fonts>"
               "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
               "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
               "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
               "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>";
        xml += "<cellXfs count=\"" + std::to_string(int(NumberFormat::Count)) + "\">";
        for (int i = 0; i < int(NumberFormat::Count); ++i) {
            const int id = numberFormatId(NumberFormat(i));
            xml += "<xf numFmtId=\"" + std::to_string(id) + "\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"" +
                   (id != 0 ? " applyNumberFormat=\"1\"" : "") + "/>";
        }
        xml += "</cellXfs><cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
               "<dxfs count=\"0\"/><tableStyles count=\"0\" defaultTableStyle=\"TableStyleMedium9\" "
               "defaultPivotStyle=\"PivotStyleLight16\"/></styleSheet>";
        return xml;
    }

    bool fail(const QString& message)
    {
        // The first failure is the one to report; the file is abandoned with it.
        if (!m_failed)
            m_error = message;
        m_failed = true;
        m_zip.abandon();
        return false;
    }

    ZipWriter m_zip;
    bool m_begun = false;
    bool m_failed = false;
    bool m_inSheet = false;
    int m_nextRow = 0; // the row a <row> without a reference stands in
    std::string m_created;
    std::vector<QString> m_sheetNames;
    std::vector<NumberFormat> m_columnFormats;
    int m_formattedColumns = 0;
    std::vector<std::string> m_columnNames; // "<c r=\"" and the column's letters
    std::vector<char> m_row;                // the row being formatted
    QString m_error;
};

} // namespace

std::string escapeXlsxText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text, false);
    return out;
}

void appendXlsxText(std::string& out, std::string_view text)
{
    appendEscaped(out, text, true);
}

void appendXlsxNumber(std::string& out, double value)
{
    char digits[kMaxNumberLength];
    out.append(digits, writeNumber(digits, value));
}

std::unique_ptr<WorkbookWriter> createXlsxWriter()
{
    return std::make_unique<XlsxWriter>();
}

} // namespace engine
