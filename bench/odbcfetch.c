/* Copied unchanged (below this note) from ../shared/bench/odbcfetch.c, the project owner's
   floor program, so that a clone of this repository alone can run bench/run query. */
/* The floor for rendering a query through one ODBC driver: connect, execute, fetch every row
   in blocks of 256 with column-wise binding (512 bytes a column), and write each row as an HTML
   table row to stdout. A renderer's own cost is its time over this loop's.
   Build: cc -O2 -o odbcfetch odbcfetch.c -lodbc   Usage: odbcfetch CONNECTION-STRING QUERY */
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ROWS 256
#define WIDTH 512
#define MAXCOLS 64

static void die(const char *what, SQLSMALLINT type, SQLHANDLE h) {
    SQLCHAR state[6], text[512];
    SQLINTEGER native;
    SQLSMALLINT len;
    if (SQLGetDiagRec(type, h, 1, state, &native, text, sizeof text, &len) == SQL_SUCCESS)
        fprintf(stderr, "%s: %s %s\n", what, state, text);
    else
        fprintf(stderr, "%s failed\n", what);
    exit(1);
}

int main(int argc, char **argv) {
    if (argc != 3) { fprintf(stderr, "usage: odbcfetch CONNECTION-STRING QUERY\n"); return 2; }
    SQLHENV env; SQLHDBC dbc; SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, NULL, (SQLCHAR *)argv[1], SQL_NTS, NULL, 0, NULL, SQL_DRIVER_NOPROMPT)))
        die("connect", SQL_HANDLE_DBC, dbc);
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(st, SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN, 0);
    int block = SQL_SUCCEEDED(SQLSetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, (SQLPOINTER)ROWS, 0));
    SQLSetStmtAttr(st, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    if (!SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR *)argv[2], SQL_NTS))) die("execute", SQL_HANDLE_STMT, st);
    SQLSMALLINT cols;
    SQLNumResultCols(st, &cols);
    if (cols > MAXCOLS) cols = MAXCOLS;
    int rows = block ? ROWS : 1;
    char *data = malloc((size_t)cols * rows * WIDTH);
    SQLLEN *ind = malloc(sizeof(SQLLEN) * cols * rows);
    static char out[1 << 16];
    size_t used = 0;
    fputs("<TABLE><TR>", stdout);
    for (SQLSMALLINT c = 0; c < cols; c++) {
        SQLCHAR name[256]; SQLSMALLINT nl, t, dd, nu; SQLULEN sz;
        SQLDescribeCol(st, c + 1, name, sizeof name, &nl, &t, &sz, &dd, &nu);
        printf("<TH>%s</TH>", name);
        SQLBindCol(st, c + 1, SQL_C_CHAR, data + (size_t)c * rows * WIDTH, WIDTH, ind + c * rows);
    }
    fputs("</TR>\n", stdout);
    fflush(stdout);
    long total = 0;
    SQLRETURN r;
    while ((r = SQLFetch(st)) == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO) {
        SQLULEN n = block ? fetched : 1;
        for (SQLULEN i = 0; i < n; i++) {
            if (used > sizeof out - 8 * WIDTH) { fwrite(out, 1, used, stdout); used = 0; }
            memcpy(out + used, "<TR>", 4); used += 4;
            for (SQLSMALLINT c = 0; c < cols; c++) {
                SQLLEN l = ind[c * rows + i];
                const char *v = data + ((size_t)c * rows + i) * WIDTH;
                memcpy(out + used, "<TD>", 4); used += 4;
                if (l == SQL_NULL_DATA) { memcpy(out + used, "&nbsp;", 6); used += 6; }
                else {
                    size_t k = l >= WIDTH || l == SQL_NO_TOTAL ? strlen(v) : (size_t)l;
                    memcpy(out + used, v, k); used += k;
                }
                memcpy(out + used, "</TD>", 5); used += 5;
            }
            memcpy(out + used, "</TR>\n", 6); used += 6;
            total++;
        }
    }
    fwrite(out, 1, used, stdout);
    fputs("</TABLE>\n", stdout);
    fprintf(stderr, "%ld rows, block fetch %s\n", total, block ? "on" : "off");
    return 0;
}
