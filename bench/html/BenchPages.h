// BenchPages.h - generated pages for the HTML benchmarks, and timing helpers.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// A page whose body holds one table of nRows rows; each row has four cells,
// the last one holding a link. About 150 bytes per row.
inline std::string MakeTablePage(int nRows)
{
    std::string strPage =
        "<!DOCTYPE html>\n<html><head><title>Items</title></head>\n<body>\n"
        "<h1>Items</h1>\n<table class=\"items\">\n";
    char szRow[256];
    for (int i = 0; i < nRows; ++i) {
        std::snprintf(szRow, sizeof(szRow),
                      "<tr class=\"item\"><td class=\"id\">%d</td><td class=\"name\">Item number %d</td>"
                      "<td class=\"price\">%d.%02d</td><td><a href=\"/items/%d?from=list\">details</a></td></tr>\n",
                      i, i, i % 1000, i % 100, i);
        strPage += szRow;
    }
    strPage += "</table>\n</body></html>\n";
    return strPage;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
