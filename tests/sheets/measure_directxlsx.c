/* Measuring aid, not built by CMake: the peer of measure_embeddedxlsx.cpp. Reads the same
 * tab-separated text and writes each field straight through libxlsxwriter in constant-memory
 * mode: a number when strtod takes the whole field, otherwise a string. No recognition of
 * dates, percentages or long digit strings, so it marks the least work a converter must do.
 *   gcc -O2 tests/sheets/measure_directxlsx.c $(pkg-config --cflags --libs xlsxwriter) -o measure_directxlsx
 *   /usr/bin/time -v ./measure_directxlsx input.txt output.xlsx
 */
#include <xlsxwriter.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s input.txt output.xlsx\n", argv[0]);
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in)
        return 1;
    lxw_workbook_options options = {.constant_memory = LXW_TRUE, .tmpdir = ".", .use_zip64 = LXW_FALSE};
    lxw_workbook* book = workbook_new_opt(argv[2], &options);
    lxw_worksheet* sheet = workbook_add_worksheet(book, "Sheet1");
    char* line = NULL;
    size_t capacity = 0;
    ssize_t length;
    lxw_row_t row = 0;
    while ((length = getline(&line, &capacity, in)) > 0) {
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        lxw_col_t column = 0;
        char* field = line;
        for (;;) {
            char* tab = strchr(field, '\t');
            if (tab)
                *tab = '\0';
            if (*field) {
                char* end = NULL;
                double number = strtod(field, &end);
                lxw_error error = *end == '\0' ? worksheet_write_number(sheet, row, column, number, NULL)
                                               : worksheet_write_string(sheet, row, column, field, NULL);
                if (error != LXW_NO_ERROR) {
                    fprintf(stderr, "%s\n", lxw_strerror(error));
                    return 1;
                }
            }
            ++column;
            if (!tab)
                break;
            field = tab + 1;
        }
        ++row;
    }
    free(line);
    fclose(in);
    lxw_error error = workbook_close(book);
    if (error != LXW_NO_ERROR) {
        fprintf(stderr, "%s\n", lxw_strerror(error));
        return 1;
    }
    return 0;
}
