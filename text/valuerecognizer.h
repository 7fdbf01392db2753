#pragma once
// Recognition of field values: the third step of the text import. recognizeField() (declared in
// textimport.h) is implemented here; the pieces below are what it is built from.
//
// The recognition is byte-level and locale-free on purpose: a text is recognised the same way on
// every machine, and it runs for every field of a large import.

#include "cells/cell.h"
#include "text/textimport.h"

#include <optional>
#include <string_view>

namespace engine {

// The serial number of a calendar date as spreadsheet applications count it (1900 date system):
// days since 1899-12-30 from 1900-03-01 on; before that one less, because those applications
// count a 29 February 1900 that never was, so 1900-01-01 is 1 and 1900-02-28 is 59. Empty for
// anything that is not a real date from 1900-01-01 on. The one computation of it: the recogniser
// (whose dates have four-digit years) and values set cell by cell (embedded/) both use it.
std::optional<double> dateSerial(int year, int month, int day);

// A General field: number, percentage, boolean, date, time or text (see recognizeField).
Cell recognizeGeneral(std::string_view field);

// The field without the blanks (spaces and tabs) around it.
std::string_view trimBlanks(std::string_view field);

} // namespace engine
