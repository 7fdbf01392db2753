/* The "direct libxlsxwriter" peer of the benchmark: reads a tab-separated UTF-8 text and writes
 * the same cells straight through libxlsxwriter in constant-memory mode, with no import layer at
 * all. It is the floor that a converter built on libxlsxwriter can approach.
 *
 * Cells: column 2 is always a string (it holds ID numbers that a number would garble); in every
 * other column a field that is a plain decimal number is written as a number, anything else as a
 * string; empty fields give no cell. Line ends may be LF or CR LF.
 *
 * Usage: direct_xlsxwriter INPUT.txt OUTPUT.xlsx
 * Build: cc -O2 direct_xlsxwriter.c $(pkg-config --cflags --libs xlsxwriter) -o direct_xlsxwriter
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <xlsxwriter.h>

#define TEXT_COLUMN 2 /* counted from 1 */
#define MAX_COLUMNS 16384
#define MAX_ROWS 1048576

/* [+-]digits[.digits][e[+-]digits], or [+-].digits[...]: the numbers the other peers accept too. */
static int is_plain_number(const char *s)
{
    const char *p = s;
    int digits = 0;
    if (*p == '+' || *p == '-')
        ++p;
    while (*p >= '0' && *p <= '9') {
        ++p;
        ++digits;
    }
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            ++p;
            ++digits;
        }
    }
    if (digits == 0)
        return 0;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-')
            ++p;
        if (!(*p >= '0' && *p <= '9'))
            return 0;
        while (*p >= '0' && *p <= '9')
            ++p;
    }
    return *p == '\0';
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s INPUT.txt OUTPUT.xlsx\n", argv[0]);
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    if (!in) {
        perror(argv[1]);
        return 1;
    }

    lxw_workbook_options options = {.constant_memory = LXW_TRUE, .tmpdir = NULL};
    lxw_workbook *workbook = workbook_new_opt(argv[2], &options);
    if (!workbook) {
        fprintf(stderr, "%s: cannot create the workbook\n", argv[2]);
        fclose(in);
        return 1;
    }
    lxw_worksheet *sheet = workbook_add_worksheet(workbook, NULL);

    char *line = NULL;
    size_t capacity = 0;
    ssize_t length;
    lxw_row_t row = 0;
    int status = 0;
    while ((length = getline(&line, &capacity, in)) >= 0) {
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        if (row >= MAX_ROWS) {
            fprintf(stderr, "%s: more than %d rows; the rest is not written\n", argv[1], MAX_ROWS);
            status = 1;
            break;
        }
        char *field = line;
        for (lxw_col_t col = 0; field && col < MAX_COLUMNS; ++col) {
            char *tab = strchr(field, '\t');
            if (tab)
                *tab = '\0';
            lxw_error error = LXW_NO_ERROR;
            if (*field) {
                if (col + 1 != TEXT_COLUMN && is_plain_number(field))
                    error = worksheet_write_number(sheet, row, col, strtod(field, NULL), NULL);
                else
                    error = worksheet_write_string(sheet, row, col, field, NULL);
            }
            if (error != LXW_NO_ERROR) {
                fprintf(stderr, "%s: row %u column %u: %s\n", argv[1], row + 1, col + 1, lxw_strerror(error));
                status = 1;
            }
            field = tab ? tab + 1 : NULL;
        }
        ++row;
    }
    free(line);
    fclose(in);

    lxw_error error = workbook_close(workbook);
    if (error != LXW_NO_ERROR) {
        fprintf(stderr, "%s: %s\n", argv[2], lxw_strerror(error));
        return 1;
    }
    return status;
}
