#pragma once
// How a delimited text is imported: the engine's reading of the thirteen import arguments.

#include <QString>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace engine {

// Column types of the field info.
enum class ColumnType : std::uint8_t {
    General = 1,
    Text = 2,
    MDY = 3,
    DMY = 4,
    YMD = 5,
    MYD = 6,
    DYM = 7,
    YDM = 8,
    Skip = 9,
};

struct ImportOptions
{
    // Code page of the file: 936 GBK (read as GB18030), 65001 UTF-8, 1200 UTF-16LE, 1201 UTF-16BE,
    // other Windows code pages through the matching codec, 2 the system's 8-bit code page. A
    // byte-order mark at the start of the file overrides it. 0 means "recognise": a byte-order
    // mark decides, else UTF-8 when the bytes are valid UTF-8, else GB18030.
    int codePage = 65001;
    int startRow = 1;          // lines before it are not imported, counted from 1
    int dataType = 1;          // 1 delimited; 2 fixed width (not supported by the engine)
    char32_t qualifier = U'"'; // 0: no qualifier
    bool consecutiveDelimiters = false;
    bool tab = true;
    bool semicolon = false;
    bool comma = false;
    bool space = false;
    char32_t other = 0; // 0: no other delimiter
    // Column (from 1) -> type; columns not named are General.
    std::map<int, ColumnType> columnTypes;
    // Set from another thread to stop the import now (see TextDecoder::setStopFlag); null: never.
    const std::atomic<bool>* stop = nullptr;

    ColumnType columnType(int column) const
    {
        auto it = columnTypes.find(column);
        return it == columnTypes.end() ? ColumnType::General : it->second;
    }

    // The qualifier of the text-qualifier argument: 1 double quote, 2 single quote, anything else
    // (-4142 among them) none.
    static char32_t qualifierFromArgument(int value) { return value == 1 ? U'"' : value == 2 ? U'\'' : 0; }

    // The other delimiter from the other-character argument: its first character (a whole
    // surrogate pair when it begins with one), 0 when empty.
    static char32_t firstCharacter(const QString& text)
    {
        const QVector<uint> codePoints = text.left(2).toUcs4();
        return codePoints.isEmpty() ? 0 : char32_t(codePoints.first());
    }

    // The column types of a field-info list of (column, type) pairs in any order: pairs naming
    // column 0 or less are ignored, the last pair for a column holds, and types other than 1..9
    // (10 included) are General.
    static std::map<int, ColumnType> columnTypesFromFieldInfo(const std::vector<std::pair<int, int>>& fieldInfo)
    {
        std::map<int, ColumnType> types;
        for (const auto& [column, type] : fieldInfo) {
            if (column <= 0)
                continue;
            types[column] = type >= 1 && type <= 9 ? ColumnType(type) : ColumnType::General;
        }
        return types;
    }
};

} // namespace engine
