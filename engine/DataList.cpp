// DataList.cpp - packed rows and their key index.
#include "DataList.h"

#include <algorithm>
#include <functional>

namespace {

void PutVarint(std::string& strOut, std::size_t nValue)
{
    while (nValue >= 0x80) {
        strOut += static_cast<char>((nValue & 0x7F) | 0x80);
        nValue >>= 7;
    }
    strOut += static_cast<char>(nValue);
}

std::size_t GetVarint(const char*& p)
{
    std::size_t nValue = 0;
    int nShift = 0;
    for (;;) {
        const auto c = static_cast<unsigned char>(*p++);
        nValue |= static_cast<std::size_t>(c & 0x7F) << nShift;
        if ((c & 0x80) == 0)
            return nValue;
        nShift += 7;
    }
}

} // namespace

void CDataList::SetKeyColumns(const std::vector<int>& aKeyColumns)
{
    std::lock_guard lock(m_mutex);
    m_aKeyColumns = aKeyColumns;
    RebuildIndex(m_aSlots.size());
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

std::string CDataList::RowKey(std::size_t nIndex) const
{
    return MakeKey(Decode(nIndex));
}

std::uint32_t CDataList::HashKey(const std::string& strKey)
{
    const std::size_t nHash = std::hash<std::string>()(strKey);
    return static_cast<std::uint32_t>(nHash ^ (nHash >> 32));
}

CDataList::RowRef CDataList::Encode(const CDataRow& aRow)
{
    std::string strRow;
    PutVarint(strRow, aRow.size());
    for (const std::string& strCell : aRow) {
        PutVarint(strRow, strCell.size());
        strRow += strCell;
    }
    // A row never spans blocks; one larger than a block gets its own.
    // Blocks grow with the list, so a short list stays small.
    if (m_aBlocks.empty() || m_aBlocks.back().capacity() - m_aBlocks.back().size() < strRow.size()) {
        const std::size_t nHeld = m_aBlocks.size() * (m_aBlocks.empty() ? 0 : m_aBlocks.back().capacity());
        const std::size_t nBlock = std::clamp<std::size_t>(nHeld, 4096, BLOCK_SIZE);
        m_aBlocks.emplace_back();
        m_aBlocks.back().reserve(std::max(nBlock, strRow.size()));
    }
    std::string& strBlock = m_aBlocks.back();
    const RowRef ref = static_cast<RowRef>(m_aBlocks.size() - 1) << 32 | strBlock.size();
    strBlock += strRow;
    return ref;
}

CDataRow CDataList::Decode(std::size_t nIndex) const
{
    const RowRef ref = m_aRows[nIndex];
    const char* p = m_aBlocks[ref >> 32].data() + (ref & 0xFFFFFFFFu);
    CDataRow aRow(GetVarint(p));
    for (std::string& strCell : aRow) {
        const std::size_t nLen = GetVarint(p);
        strCell.assign(p, nLen);
        p += nLen;
    }
    return aRow;
}

void CDataList::IndexRow(std::size_t nIndex, std::uint32_t nHash)
{
    const std::size_t nMask = m_aSlots.size() - 1;
    std::size_t nSlot = nHash & nMask;
    while (m_aSlots[nSlot] != 0)
        nSlot = (nSlot + 1) & nMask;
    m_aSlots[nSlot] = static_cast<std::uint64_t>(nHash) << 32 | (nIndex + 1);
}

void CDataList::RebuildIndex(std::size_t nSlots)
{
    nSlots = std::max<std::size_t>(nSlots, 16);
    while (nSlots < 2 * (m_aRows.size() + 1))
        nSlots *= 2;
    m_aSlots.assign(nSlots, 0);
    for (std::size_t i = 0; i < m_aRows.size(); ++i)
        IndexRow(i, HashKey(RowKey(i)));
}

std::ptrdiff_t CDataList::FindLocked(const CDataRow& aRecord) const
{
    if (m_aSlots.empty())
        return -1;
    const std::string strKey = MakeKey(aRecord);
    const std::uint32_t nHash = HashKey(strKey);
    const std::size_t nMask = m_aSlots.size() - 1;
    for (std::size_t nSlot = nHash & nMask; m_aSlots[nSlot] != 0; nSlot = (nSlot + 1) & nMask) {
        const std::uint64_t nEntry = m_aSlots[nSlot];
        const std::size_t nRow = (nEntry & 0xFFFFFFFFu) - 1;
        // Equal keys are indexed in row order; the first one found is the
        // first row with that key.
        if (static_cast<std::uint32_t>(nEntry >> 32) == nHash && RowKey(nRow) == strKey)
            return static_cast<std::ptrdiff_t>(nRow);
    }
    return -1;
}

bool CDataList::ContainsKey(const CDataRow& aRecord) const
{
    std::lock_guard lock(m_mutex);
    return FindLocked(aRecord) >= 0;
}

std::ptrdiff_t CDataList::FindKey(const CDataRow& aRecord) const
{
    std::lock_guard lock(m_mutex);
    return FindLocked(aRecord);
}

bool CDataList::ReplaceRow(std::size_t nIndex, const CDataRow& aRow)
{
    std::lock_guard lock(m_mutex);
    if (nIndex >= m_aRows.size())
        return false;
    const bool bSameKey = MakeKey(aRow) == RowKey(nIndex);
    // The old bytes stay where they were until the list is repacked: a row
    // changes seldom compared with how often rows are added.
    m_nStale += RowBytes(nIndex);
    m_aRows[nIndex] = Encode(aRow);
    if (m_nStale > BLOCK_SIZE && m_nStale > m_nLive)
        Repack();
    if (!bSameKey)
        RebuildIndex(m_aSlots.size());
    return true;
}

std::string CDataList::KeyOf(const CDataRow& aRow) const
{
    std::lock_guard lock(m_mutex);
    return MakeKey(aRow);
}

std::uint32_t CDataList::GetRowSeen(std::size_t nIndex) const
{
    std::lock_guard lock(m_mutex);
    return nIndex < m_aSeen.size() ? m_aSeen[nIndex] : 0;
}

void CDataList::SetRowSeen(std::size_t nIndex, std::uint32_t nPass)
{
    std::lock_guard lock(m_mutex);
    if (nIndex < m_aSeen.size())
        m_aSeen[nIndex] = nPass;
}

std::vector<std::size_t> CDataList::MarkGone(std::uint32_t nPass)
{
    std::lock_guard lock(m_mutex);
    std::vector<std::size_t> aGone;
    for (std::size_t i = 0; i < m_aSeen.size(); ++i) {
        if (m_aStates[i] != ROW_GONE && m_aSeen[i] <= nPass) {
            m_aStates[i] = ROW_GONE;
            aGone.push_back(i);
        }
    }
    return aGone;
}

ERowState CDataList::GetRowState(std::size_t nIndex) const
{
    std::lock_guard lock(m_mutex);
    return nIndex < m_aStates.size() ? static_cast<ERowState>(m_aStates[nIndex]) : ROW_KEPT;
}

void CDataList::SetRowState(std::size_t nIndex, ERowState e)
{
    std::lock_guard lock(m_mutex);
    if (nIndex < m_aStates.size())
        m_aStates[nIndex] = e;
}

std::size_t CDataList::RowBytes(std::size_t nIndex) const
{
    const RowRef ref = m_aRows[nIndex];
    const char* pStart = m_aBlocks[ref >> 32].data() + (ref & 0xFFFFFFFFu);
    const char* p = pStart;
    std::size_t nCells = GetVarint(p);
    while (nCells-- > 0)
        p += GetVarint(p);
    return static_cast<std::size_t>(p - pStart);
}

void CDataList::Repack()
{
    std::vector<CDataRow> aRows;
    aRows.reserve(m_aRows.size());
    for (std::size_t i = 0; i < m_aRows.size(); ++i)
        aRows.push_back(Decode(i));
    m_aBlocks.clear();
    m_nStale = 0;
    for (std::size_t i = 0; i < aRows.size(); ++i)
        m_aRows[i] = Encode(aRows[i]);
}

std::size_t CDataList::Append(const CDataRow& aRow)
{
    std::lock_guard lock(m_mutex);
    m_aRows.push_back(Encode(aRow));
    m_aStates.push_back(ROW_KEPT);
    m_aSeen.push_back(0);
    m_nLive += RowBytes(m_aRows.size() - 1);
    const std::size_t nIndex = m_aRows.size() - 1;
    if (m_aSlots.size() < 2 * (m_aRows.size() + 1))
        RebuildIndex(m_aSlots.size() * 2);
    else
        IndexRow(nIndex, HashKey(MakeKey(aRow)));
    return nIndex;
}

std::size_t CDataList::GetCount() const
{
    std::lock_guard lock(m_mutex);
    return m_aRows.size();
}

CDataRow CDataList::GetRow(std::size_t nIndex) const
{
    std::lock_guard lock(m_mutex);
    return nIndex < m_aRows.size() ? Decode(nIndex) : CDataRow();
}

std::vector<CDataRow> CDataList::GetRows() const
{
    std::lock_guard lock(m_mutex);
    std::vector<CDataRow> aRows;
    aRows.reserve(m_aRows.size());
    for (std::size_t i = 0; i < m_aRows.size(); ++i)
        aRows.push_back(Decode(i));
    return aRows;
}

void CDataList::RemoveRows(std::size_t nFirst, std::size_t nCount)
{
    std::lock_guard lock(m_mutex);
    if (nFirst >= m_aRows.size())
        return;
    const std::size_t nLast = nFirst + std::min(nCount, m_aRows.size() - nFirst);
    // Rare (a view trimming its list): repack what remains.
    std::vector<CDataRow> aKept;
    std::vector<std::uint8_t> aStates;
    std::vector<std::uint32_t> aSeen;
    aKept.reserve(m_aRows.size() - (nLast - nFirst));
    for (std::size_t i = 0; i < m_aRows.size(); ++i) {
        if (i < nFirst || i >= nLast) {
            aKept.push_back(Decode(i));
            aStates.push_back(m_aStates[i]);
            aSeen.push_back(m_aSeen[i]);
        }
    }
    m_aBlocks.clear();
    m_aRows.clear();
    m_nLive = 0;
    m_nStale = 0;
    for (const CDataRow& aRow : aKept) {
        m_aRows.push_back(Encode(aRow));
        m_nLive += RowBytes(m_aRows.size() - 1);
    }
    m_aStates.swap(aStates);
    m_aSeen.swap(aSeen);
    RebuildIndex(16);
}

void CDataList::Clear()
{
    std::lock_guard lock(m_mutex);
    m_aBlocks.clear();
    m_aRows.clear();
    m_aRows.shrink_to_fit();
    m_aStates.clear();
    m_aStates.shrink_to_fit();
    m_aSeen.clear();
    m_aSeen.shrink_to_fit();
    m_aSlots.clear();
    m_nLive = 0;
    m_nStale = 0;
}
