// DataList.h - the rows a task has kept, one text per column, with an index
// of their key columns so that "is this record new?" costs one hash lookup
// instead of a scan over every row. Shared by the worker thread (append,
// search) and a view (read, remove), so every operation takes the lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using CDataRow = std::vector<std::string>;

class CDataList {
public:
    CDataList() = default;
    CDataList(const CDataList&) = delete;
    CDataList& operator=(const CDataList&) = delete;

    // Chooses the columns that make a row's key and rebuilds the index. With
    // no key columns every row has the same (empty) key, so a record matches
    // whenever the list holds a row at all.
    void SetKeyColumns(const std::vector<int>& aKeyColumns);

    // True when some row has exactly these bytes in every key column. The
    // record must hold at least every key column's entry; missing entries of
    // a short record read as empty.
    bool ContainsKey(const CDataRow& aRecord) const;

    // Appends a copy of the row at the end and returns its index.
    std::size_t Append(const CDataRow& aRow);

    std::size_t GetCount() const;
    // Copy of row nIndex; empty when there is no such row.
    CDataRow GetRow(std::size_t nIndex) const;
    // Copies of every row, in order.
    std::vector<CDataRow> GetRows() const;

    // Removes nCount rows from nFirst (clipped to the list). Removed rows are
    // forgotten: the next pass counts their records as new again.
    void RemoveRows(std::size_t nFirst, std::size_t nCount);
    void Clear();

private:
    // The key columns' bytes, each preceded by its length, so that ("ab","c")
    // and ("a","bc") never share a key.
    std::string MakeKey(const CDataRow& aRow) const;
    void IndexRow(const CDataRow& aRow);
    void UnindexRow(const CDataRow& aRow);

    mutable std::mutex m_mutex;
    std::vector<int> m_aKeyColumns;
    std::vector<CDataRow> m_aRows;
    // Key -> number of rows with that key; only presence matters to a pass.
    std::unordered_map<std::string, std::size_t> m_mapKeys;
};
