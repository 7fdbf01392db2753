#include "convert/conversionoptions.h"

ConversionOptions& conversionOptions()
{
    static ConversionOptions options;
    return options;
}
