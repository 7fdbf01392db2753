#include "automation/automation.h"

QVariantList OpenTextArguments::toVariantList() const
{
    QVariantList columnFormats;
    for (const auto& pair : fieldInfo)
        columnFormats.append(QVariant(QVariantList{pair.first, pair.second}));
    return QVariantList{fileName,  origin, startRow, dataType, textQualifier, consecutiveDelimiter,   tab,
                        semicolon, comma,  space,    other,    otherChar,     QVariant(columnFormats)};
}
