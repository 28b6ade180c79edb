// BenchPages.h - generated pages for the HTML benchmarks, and timing helpers.
// Contenders run interleaved, one pass each per round, so that a host whose
// speed changes for seconds at a time slows every contender alike; figures
// are medians with their range.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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

// The times of one contender, one per round.
struct CSamples {
    std::vector<double> m_aValues;

    double Median() const
    {
        std::vector<double> a = m_aValues;
        std::sort(a.begin(), a.end());
        if (a.empty())
            return 0;
        const size_t n = a.size();
        return n % 2 ? a[n / 2] : (a[n / 2 - 1] + a[n / 2]) / 2;
    }
    double Min() const { return m_aValues.empty() ? 0 : *std::min_element(m_aValues.begin(), m_aValues.end()); }
    double Max() const { return m_aValues.empty() ? 0 : *std::max_element(m_aValues.begin(), m_aValues.end()); }
};

// How much faster than the other a contender was in each round (the other's
// time over ours, both measured in the same round).
inline CSamples RoundRatios(const CSamples& ours, const CSamples& other)
{
    CSamples ratios;
    for (size_t i = 0; i < ours.m_aValues.size() && i < other.m_aValues.size(); ++i)
        ratios.m_aValues.push_back(other.m_aValues[i] / ours.m_aValues[i]);
    return ratios;
}

// The 1, 5 and 15 minute load averages, for the record beside the figures:
// on a shared host they say how much the machine was doing meanwhile.
inline std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string str1, str5, str15;
    in >> str1 >> str5 >> str15;
    return str1 + " " + str5 + " " + str15;
}
