#pragma once
// A libgsf output that writes to a QIODevice, so the OLE2 container of an .xls workbook goes
// wherever the caller's device leads (a temporary file of the saver, a buffer in tests) instead of
// a file libgsf opens by name. The container seeks back to fill in its tables, so the device must
// be seekable.

#include <gsf/gsf-output.h>

class QIODevice;

namespace engine {

// A new output over `device` (open for writing, seekable), with one reference for the caller.
// Writes go to the device at the output's position; a failed write or seek sets the output's
// error to the device's error text. Closing the output leaves the device open.
GsfOutput* newGsfDeviceOutput(QIODevice* device);

} // namespace engine
