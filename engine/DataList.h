// DataList.h - the rows a task has kept, one text per column, with an index
// of their key columns so that "is this record new?" costs one hash lookup
// instead of a scan over every row. Shared by the worker thread (append,
// search) and a view (read, remove), so every operation takes the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

using CDataRow = std::vector<std::string>;

// A kept row as the last passes saw it: there as it was, there with other
// values than before, or not seen for as many passes as the task allows.
enum ERowState : std::uint8_t { ROW_KEPT = 0, ROW_CHANGED = 1, ROW_GONE = 2 };

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

    // Replaces row nIndex by aRow (the key index follows a changed key);
    // false when there is no such row. The row's state is left as it was.
    bool ReplaceRow(std::size_t nIndex, const CDataRow& aRow);
    // ROW_KEPT for a row out of range.
    ERowState GetRowState(std::size_t nIndex) const;
    void SetRowState(std::size_t nIndex, ERowState e);
    // Index of the first row whose key columns equal the record's, or -1.
    std::ptrdiff_t FindKey(const CDataRow& aRecord) const;
    // The bytes the index compares for a row: its key columns' values.
    std::string KeyOf(const CDataRow& aRow) const;
    // The number of the last counted pass that saw the row (0 for none).
    std::uint32_t GetRowSeen(std::size_t nIndex) const;
    void SetRowSeen(std::size_t nIndex, std::uint32_t nPass);
    // Marks ROW_GONE every row not yet gone whose last sight is at or
    // before nPass, and returns their indexes.
    std::vector<std::size_t> MarkGone(std::uint32_t nPass);

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
    // Rows are packed one after another into large blocks (a cell count,
    // then each cell's length and bytes, lengths as base-128 varints), so a
    // row of short cells costs little more than its text; a vector of
    // std::string per row cost six times the text.
    static constexpr std::size_t BLOCK_SIZE = std::size_t(1) << 20;

    using RowRef = std::uint64_t;

    // Packs the row into the blocks and returns where it went.
    RowRef Encode(const CDataRow& aRow);
    std::size_t RowBytes(std::size_t nIndex) const;
    // Packs every row afresh, dropping the bytes of replaced rows.
    void Repack();
    std::ptrdiff_t FindLocked(const CDataRow& aRecord) const;
    CDataRow Decode(std::size_t nIndex) const;
    // The key columns' bytes, each preceded by its length, so that ("ab","c")
    // and ("a","bc") never share a key.
    std::string MakeKey(const CDataRow& aRow) const;
    std::string RowKey(std::size_t nIndex) const;
    // The key index: open addressing over row numbers, each slot the key's
    // hash (high 32 bits) and the row number plus one (0: empty).
    void IndexRow(std::size_t nIndex, std::uint32_t nHash);
    void RebuildIndex(std::size_t nSlots);
    static std::uint32_t HashKey(const std::string& strKey);

    mutable std::mutex m_mutex;
    std::vector<int> m_aKeyColumns;
    std::vector<std::string> m_aBlocks;  // Each filled up to its capacity at most.
    std::vector<RowRef> m_aRows;         // Block index << 32 | offset in the block.
    std::vector<std::uint8_t> m_aStates;  // One ERowState per row.
    std::vector<std::uint32_t> m_aSeen;   // One pass number per row.
    std::size_t m_nLive = 0;   // Packed bytes of rows as appended...
    std::size_t m_nStale = 0;  // ...and of rows since replaced.
    std::vector<std::uint64_t> m_aSlots;  // Size a power of two, at most half full.
};
