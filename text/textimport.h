#pragma once
// text/: reading delimited text into rows of cells: the import options (importoptions.h), the
// splitter of records and fields (delimitedsplitter.h), the recogniser of values and the date
// serial numbers (valuerecognizer.h), and the import that joins them to the decoder of unicode/
// (this header).
//
// Import of a delimited text, in three steps with a seam between each: bytes -> text (decoding by
// code page and byte-order mark), text -> records of fields (the delimited splitter), field ->
// typed value (recognition). The rows are produced as the caller takes them, so memory grows
// with the widest row, not with the length of the text.

#include "cells/cell.h"
#include "cells/rowsource.h"
#include "text/importoptions.h"

#include <QString>

#include <memory>
#include <string_view>

namespace engine {

// The rows of an imported text. Its warnings() say what the decoding had to repair (replaced
// characters, left-out NUL characters, UTF-16 taken without a byte-order mark), by line.
class TextImport : public RowSource
{
public:
    // The encoding the text is read in: "UTF-8", "GB18030", "UTF-16LE", ...
    virtual QString encodingName() const = 0;
};

// Opens the text at `path` for import. The file is opened at once and stays open in the
// returned source (so a file removed afterwards still imports); null with `failure` set when it
// cannot be opened or the options cannot be honoured (unknown code page, fixed width).
std::unique_ptr<TextImport> openTextImport(const QString& path, const ImportOptions& options, Failure* failure);

// Recognises one field of a column of the given type (General, a date order, or Text). Text
// cells refer to `field` itself, which must outlive the cell.
Cell recognizeField(std::string_view field, ColumnType type);

} // namespace engine
