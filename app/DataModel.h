// DataModel.h - the data list's model: a view over the task's CDataList that
// copies nothing but the row on screen. Rows the task appends are shown in
// batches (ShowNewRows), so a pass that adds thousands of rows costs the GUI
// thread one insertion, not thousands.
#pragma once

#include "engine/DataList.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QStringList>

namespace quarvex {

class CDataModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CDataModel(CDataList& dataList, QObject* pParent = nullptr);

    // New headers; the rows shown become those the list holds now.
    void Reset(const QStringList& aColumns);
    // Shows the rows appended to the list since the last call.
    void ShowNewRows();
    // The list was refilled or emptied behind the view: everything is read again.
    void ReloadRows() { Reset(m_aColumns); }
    // Row nRow was replaced or changed its state (changed, gone, back).
    void RowChanged(std::size_t nRow);

    // How rows in each state look: a changed row on a light amber ground, a
    // gone row in grey, each with a line in its tooltip saying so.
    static QColor ChangedBackground();
    static QColor GoneForeground();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole = Qt::DisplayRole) const override;

private:
    CDataList& m_dataList;
    QStringList m_aColumns;
    int m_nRows = 0;
    // The row last read: a view asks for every cell of a row in turn.
    mutable int m_nCachedRow = -1;
    mutable CDataRow m_aCachedRow;
    mutable ERowState m_eCachedState = ROW_KEPT;
};

} // namespace quarvex
