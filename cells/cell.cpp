#include "cells/cell.h"

namespace engine {

const char* numberFormatCode(NumberFormat format)
{
    switch (format) {
    case NumberFormat::General:
        return "General";
    case NumberFormat::Text:
        return "@";
    case NumberFormat::Percent:
        return "0%";
    case NumberFormat::PercentDecimal:
        return "0.00%";
    case NumberFormat::DateIso:
        return "yyyy-mm-dd";
    case NumberFormat::DateTimeIso:
        return "yyyy-mm-dd hh:mm";
    case NumberFormat::DateTimeSecondsIso:
        return "yyyy-mm-dd hh:mm:ss";
    case NumberFormat::DateSlash:
        return "yyyy/m/d";
    case NumberFormat::DateTimeSlash:
        return "yyyy/m/d hh:mm";
    case NumberFormat::DateTimeSecondsSlash:
        return "yyyy/m/d hh:mm:ss";
    case NumberFormat::DateChinese:
        return "yyyy\"年\"m\"月\"d\"日\"";
    case NumberFormat::DateTimeChinese:
        return "yyyy\"年\"m\"月\"d\"日\" hh:mm";
    case NumberFormat::DateTimeSecondsChinese:
        return "yyyy\"年\"m\"月\"d\"日\" hh:mm:ss";
    case NumberFormat::Time:
        return "hh:mm";
    case NumberFormat::TimeSeconds:
        return "hh:mm:ss";
    case NumberFormat::Count:
        break;
    }
    return "General";
}

int numberFormatId(NumberFormat format)
{
    switch (format) {
    case NumberFormat::General:
        return 0;
    case NumberFormat::Percent:
        return 9;
    case NumberFormat::PercentDecimal:
        return 10;
    case NumberFormat::Text:
        return 49;
    default:
        return FirstUserFormatId + int(format);
    }
}

} // namespace engine
