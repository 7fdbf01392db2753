#include "convert/conversionoptions.h"

#include <QStringList>

namespace {

struct DelimiterRow
{
    Delimiter delimiter;
    char settingsValue;
    char16_t separator;
    const char* name;
};

constexpr DelimiterRow delimiterTable[] = {
    {Delimiter::Tab, '1', u'\t', "tab"},
    {Delimiter::Semicolon, '2', u';', "semicolon"},
    {Delimiter::Comma, '3', u',', "comma"},
    {Delimiter::Space, '4', u' ', "space"},
};

const DelimiterRow& rowOf(Delimiter delimiter)
{
    for (const DelimiterRow& row : delimiterTable) {
        if (row.delimiter == delimiter)
            return row;
    }
    return delimiterTable[0];
}

} // namespace

QByteArray settingsValueOf(Delimiter delimiter)
{
    return QByteArray(1, rowOf(delimiter).settingsValue);
}

Delimiter delimiterFromSettingsValue(const QByteArray& value)
{
    for (const DelimiterRow& row : delimiterTable) {
        if (!value.isEmpty() && value.at(0) == row.settingsValue)
            return row.delimiter;
    }
    return Delimiter::Tab;
}

QChar separatorOf(Delimiter delimiter)
{
    return QChar(rowOf(delimiter).separator);
}

bool delimiterFromName(const QString& name, Delimiter* delimiter)
{
    for (const DelimiterRow& row : delimiterTable) {
        if (name.compare(QLatin1String(row.name), Qt::CaseInsensitive) == 0) {
            *delimiter = row.delimiter;
            return true;
        }
    }
    return false;
}

QString delimiterNames()
{
    QStringList names;
    for (const DelimiterRow& row : delimiterTable)
        names << QString::fromLatin1(row.name);
    return names.join(QStringLiteral(", "));
}

QList<Delimiter> delimiters()
{
    QList<Delimiter> all;
    for (const DelimiterRow& row : delimiterTable)
        all << row.delimiter;
    return all;
}
