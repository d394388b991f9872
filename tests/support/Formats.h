// Regional formats for tests that need a known, non-English setting.
#pragma once

#include "platform/FormatSettings.h"

// Decimal comma, space as thousands separator, day.month.year dates and a
// 24-hour clock.
platform::FormatSettings CommaFormats();
