// DataList.cpp - rows and their key index.
#include "DataList.h"

#include <algorithm>

void CDataList::SetKeyColumns(const std::vector<int>& aKeyColumns)
{
    std::lock_guard lock(m_mutex);
    m_aKeyColumns = aKeyColumns;
    m_mapKeys.clear();
    for (const CDataRow& aRow : m_aRows)
        IndexRow(aRow);
}

std::string CDataList::MakeKey(const CDataRow& aRow) const
{
    std::string strKey;
    for (int k : m_aKeyColumns) {
        const std::string_view strValue =
            (k >= 0 && static_cast<std::size_t>(k) < aRow.size()) ? std::string_view(aRow[k])
                                                                    : std::string_view();
        strKey += std::to_string(strValue.size());
        strKey += ':';
        strKey += strValue;
    }
    return strKey;
}

void CDataList::IndexRow(const CDataRow& aRow)
{
    ++m_mapKeys[MakeKey(aRow)];
}

void CDataList::UnindexRow(const CDataRow& aRow)
{
    auto it = m_mapKeys.find(MakeKey(aRow));
    if (it != m_mapKeys.end() && --it->second == 0)
        m_mapKeys.erase(it);
}

bool CDataList::ContainsKey(const CDataRow& aRecord) const
{
    std::lock_guard lock(m_mutex);
    return m_mapKeys.find(MakeKey(aRecord)) != m_mapKeys.end();
}

std::size_t CDataList::Append(const CDataRow& aRow)
{
    std::lock_guard lock(m_mutex);
    m_aRows.push_back(aRow);
    IndexRow(aRow);
    return m_aRows.size() - 1;
}

std::size_t CDataList::GetCount() const
{
    std::lock_guard lock(m_mutex);
    return m_aRows.size();
}

CDataRow CDataList::GetRow(std::size_t nIndex) const
{
    std::lock_guard lock(m_mutex);
    return nIndex < m_aRows.size() ? m_aRows[nIndex] : CDataRow();
}

std::vector<CDataRow> CDataList::GetRows() const
{
    std::lock_guard lock(m_mutex);
    return m_aRows;
}

void CDataList::RemoveRows(std::size_t nFirst, std::size_t nCount)
{
    std::lock_guard lock(m_mutex);
    if (nFirst >= m_aRows.size())
        return;
    const std::size_t nLast = nFirst + std::min(nCount, m_aRows.size() - nFirst);
    for (std::size_t i = nFirst; i < nLast; ++i)
        UnindexRow(m_aRows[i]);
    m_aRows.erase(m_aRows.begin() + static_cast<std::ptrdiff_t>(nFirst),
                  m_aRows.begin() + static_cast<std::ptrdiff_t>(nLast));
}

void CDataList::Clear()
{
    std::lock_guard lock(m_mutex);
    m_aRows.clear();
    m_mapKeys.clear();
}
