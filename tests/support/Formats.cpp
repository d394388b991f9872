#include "support/Formats.h"

platform::FormatSettings CommaFormats() {
    platform::FormatSettings f;
    f.DecimalSeparator = ",";
    f.ThousandSeparator = " ";
    f.ShortDateFormat = "%d.%m.%Y";
    f.LongTimeFormat = "%H:%M:%S";
    return f;
}
