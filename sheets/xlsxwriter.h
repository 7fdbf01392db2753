#pragma once
// The .xlsx writer: libxlsxwriter in constant-memory mode, so rows go to disk as they come and
// memory grows with the widest row, not with the number of rows. createXlsxWriter() is declared
// in sheets/workbookwriter.h; this header adds what the writer's own tests need.

#include "sheets/workbookwriter.h"

#include <string>
#include <string_view>

namespace sheets {

// The text as it must stand in the file so that a reader gets `text` back: the file format reads
// "_xHHHH_" as an escaped character, so a literal one is written with its underscore escaped
// ("_x005F_"), and a NUL (which a C string cannot carry) as "_x0000_". Other control characters
// are escaped by libxlsxwriter itself.
std::string escapeXlsxText(std::string_view text);

} // namespace sheets
