#pragma once
// The size of the primary screen in pixels, from which the main window places itself.

#include <QSize>

// Width and height of the primary screen; 0 × 0 when there is no screen.
QSize primaryScreenSize();
