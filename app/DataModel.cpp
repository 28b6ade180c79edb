// DataModel.cpp - rows are read from the task's list when painted.
#include "DataModel.h"

#include "QtText.h"

#include <algorithm>
#include <climits>

namespace quarvex {

CDataModel::CDataModel(CDataList& dataList, QObject* pParent)
    : QAbstractTableModel(pParent)
    , m_dataList(dataList)
{
}

void CDataModel::Reset(const QStringList& aColumns)
{
    beginResetModel();
    m_aColumns = aColumns;
    m_nRows = static_cast<int>(std::min<std::size_t>(m_dataList.GetCount(), INT_MAX));
    m_nCachedRow = -1;
    endResetModel();
}

void CDataModel::ShowNewRows()
{
    const int nCount = static_cast<int>(std::min<std::size_t>(m_dataList.GetCount(), INT_MAX));
    if (nCount < m_nRows) {
        // Rows were taken away behind the view's back: start over.
        Reset(m_aColumns);
        return;
    }
    if (nCount == m_nRows)
        return;
    beginInsertRows(QModelIndex(), m_nRows, nCount - 1);
    m_nRows = nCount;
    endInsertRows();
}

int CDataModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_nRows;
}

int CDataModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_aColumns.size());
}

void CDataModel::RowChanged(std::size_t nRow)
{
    if (nRow >= static_cast<std::size_t>(m_nRows))
        return;
    const int nIndex = static_cast<int>(nRow);
    if (nIndex == m_nCachedRow)
        m_nCachedRow = -1;
    emit dataChanged(index(nIndex, 0), index(nIndex, std::max(0, columnCount() - 1)));
}

QColor CDataModel::ChangedBackground()
{
    return QColor(255, 236, 179);
}

QColor CDataModel::GoneForeground()
{
    return QColor(150, 150, 150);
}

QVariant CDataModel::data(const QModelIndex& index, int nRole) const
{
    if (nRole != Qt::DisplayRole && nRole != Qt::ToolTipRole && nRole != Qt::BackgroundRole &&
        nRole != Qt::ForegroundRole)
        return QVariant();
    if (!index.isValid() || index.row() >= m_nRows)
        return QVariant();
    if (index.row() != m_nCachedRow) {
        m_aCachedRow = m_dataList.GetRow(static_cast<std::size_t>(index.row()));
        m_eCachedState = m_dataList.GetRowState(static_cast<std::size_t>(index.row()));
        m_nCachedRow = index.row();
    }
    if (nRole == Qt::BackgroundRole)
        return m_eCachedState == ROW_CHANGED ? QVariant(ChangedBackground()) : QVariant();
    if (nRole == Qt::ForegroundRole)
        return m_eCachedState == ROW_GONE ? QVariant(GoneForeground()) : QVariant();
    const auto nColumn = static_cast<std::size_t>(index.column());
    if (nColumn >= m_aCachedRow.size())
        return QVariant();
    // A cell of a page may be long; the list shows its start.
    const std::string& strCell = m_aCachedRow[nColumn];
    constexpr std::size_t MAX_SHOWN = 4096;
    QString strText = ToQString(std::string_view(strCell).substr(0, MAX_SHOWN));
    if (nRole == Qt::ToolTipRole) {
        if (m_eCachedState == ROW_CHANGED)
            strText += "\n（此记录已变化）";
        else if (m_eCachedState == ROW_GONE)
            strText += "\n（此记录已从网页上消失）";
    }
    return strText;
}

QVariant CDataModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const
{
    if (nRole != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return nSection >= 0 && nSection < m_aColumns.size() ? QVariant(m_aColumns[nSection]) : QVariant();
    return nSection + 1;
}

} // namespace quarvex
