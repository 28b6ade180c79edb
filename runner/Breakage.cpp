// Breakage.cpp - CBreakageWatch.
#include "Breakage.h"

#include <algorithm>
#include <vector>

namespace quarvex {

bool CBreakageWatch::AddPass(EPass ePass, int nSeen)
{
    const bool bWasBroken = m_bBroken;
    const bool bWasFailing = IsFailing();
    switch (ePass) {
    case PASS_PARSED:
        m_nFailedInRow = 0;
        m_aYields.push_back(nSeen < 0 ? 0 : nSeen);
        if (m_aYields.size() > BROKEN_RUN + HISTORY)
            m_aYields.pop_front();
        m_bBroken = Judge();
        break;
    case PASS_UNCHANGED:
        // The server answered: the fetch did not fail, and the yield is
        // whatever the last parsed page gave.
        m_nFailedInRow = 0;
        break;
    case PASS_FAILED:
        ++m_nFailedInRow;
        break;
    case PASS_REFUSED:
        break;
    }
    return bWasBroken != m_bBroken || bWasFailing != IsFailing();
}

bool CBreakageWatch::Judge()
{
    if (m_aYields.size() < BROKEN_RUN)
        return false;
    const std::size_t nEarlier = m_aYields.size() - BROKEN_RUN;
    std::vector<int> aEarlier(m_aYields.begin(), m_aYields.begin() + static_cast<std::ptrdiff_t>(nEarlier));
    m_dMedian = 0;
    if (!aEarlier.empty()) {
        std::sort(aEarlier.begin(), aEarlier.end());
        const std::size_t nMid = aEarlier.size() / 2;
        m_dMedian = aEarlier.size() % 2 != 0 ? aEarlier[nMid] : (aEarlier[nMid - 1] + aEarlier[nMid]) / 2.0;
    }
    for (std::size_t i = nEarlier; i < m_aYields.size(); ++i) {
        const int nYield = m_aYields[i];
        // Compared without division: nYield < median / 5.
        if (nYield != 0 && !(nYield * static_cast<double>(FRACTION) < m_dMedian))
            return false;
    }
    return true;
}

} // namespace quarvex
