// Measuring aid, not built by CMake: imports a tab-separated UTF-8 text through the embedded
// engine and saves it as .xlsx, for comparing time and peak memory with
// measure_directxlsx.c. Build from the worktree after building quillmorne_core:
//   g++ -O2 -std=c++17 -fPIC -I. $(pkg-config --cflags Qt5Core) tests/sheets/measure_embeddedxlsx.cpp \
//       build/libquillmorne_core.a $(pkg-config --libs Qt5Core xlsxwriter libgsf-1 zlib) -o measure_embeddedxlsx
// Run: /usr/bin/time -v ./measure_embeddedxlsx input.txt output.xlsx

#include "sheets/embeddedapplication.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s input.txt output.xlsx\n", argv[0]);
        return 2;
    }
    sheets::EmbeddedApplication app;
    OpenTextArguments arguments;
    arguments.fileName = QString::fromLocal8Bit(argv[1]);
    arguments.origin = 65001;
    arguments.tab = true;
    if (!app.workbooks()->openText(arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(app.workbooks()->errorString()));
        return 1;
    }
    if (!app.activeWorkbook()->saveAs(QString::fromLocal8Bit(argv[2]), FileFormatXlsx)) {
        std::fprintf(stderr, "%s\n", qPrintable(app.activeWorkbook()->errorString()));
        return 1;
    }
    return 0;
}
