#pragma once
// xlsx/: the .xlsx writer (this header), the ZIP container it streams its parts into (zipwriter.h)
// and the compressor behind that, ISA-L or zlib as the build chose (deflater.h).
//
// The .xlsx writer: sheet XML is generated straight into buffers and streamed into the ZIP
// container as rows come (text as inline strings), so memory stays flat whatever the number of
// rows. Besides the writer itself, this header offers the text and number spellings its tests
// check.

#include "cells/workbookwriter.h"

#include <memory>
#include <string>
#include <string_view>

namespace engine {

// A new .xlsx writer.
std::unique_ptr<WorkbookWriter> createXlsxWriter();

// The text as it must stand in the file so that a reader gets `text` back: the file format reads
// "_xHHHH_" as an escaped character, so a literal one is written with its underscore escaped
// ("_x005F_"), and the characters XML cannot carry (control characters other than tab, line
// feed and carriage return; U+FFFE and U+FFFF) as "_xHHHH_". XML markup characters are left alone (see appendXlsxText).
std::string escapeXlsxText(std::string_view text);

// Appends `text` to `out` as the content of an XML text element: escapeXlsxText() plus the XML
// escapes of '&', '<' and '>'.
void appendXlsxText(std::string& out, std::string_view text);

// Appends the shortest decimal spelling of `value` that reads back as the same double.
void appendXlsxNumber(std::string& out, double value);

} // namespace engine
