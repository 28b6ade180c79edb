// Breakage.h - judges a task by its last passes: "broken" when its parsed
// pages stopped yielding records, "failing" when its fetches keep failing.
// Only the outcome of each pass goes in; no clock, no threads.
#pragma once

#include <cstddef>
#include <deque>

namespace quarvex {

class CBreakageWatch {
public:
    enum EPass {
        PASS_PARSED,     // the page was fetched and parsed; nSeen records
        PASS_UNCHANGED,  // 304: fetched, nothing parsed
        PASS_FAILED,     // the page could not be fetched
        PASS_REFUSED,    // robots.txt forbade the page: nothing was asked
    };
    enum { BROKEN_RUN = 3, FAILING_RUN = 3, HISTORY = 10, FRACTION = 5 };

    // Adds one pass; true when IsBroken() or IsFailing() changed.
    bool AddPass(EPass ePass, int nSeen);

    // The last 3 parsed pages each gave no record, or fewer than a fifth of
    // the median yield of the (up to) 10 parsed pages before them.
    bool IsBroken() const { return m_bBroken; }
    // The last 3 fetches failed.
    bool IsFailing() const { return m_nFailedInRow >= FAILING_RUN; }
    // The median yield the last verdict compared with; 0 before any.
    double GetMedian() const { return m_dMedian; }

private:
    bool Judge();

    std::deque<int> m_aYields;  // The last BROKEN_RUN + HISTORY parsed pages, oldest first.
    int m_nFailedInRow = 0;
    bool m_bBroken = false;
    double m_dMedian = 0;
};

} // namespace quarvex
