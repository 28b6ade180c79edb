// DataModel.h - the data list's model: a view over the task's CDataList that
// copies nothing but the row on screen. Rows the task appends are shown in
// batches (ShowNewRows), so a pass that adds thousands of rows costs the GUI
// thread one insertion, not thousands.
#pragma once

#include "engine/DataList.h"

#include <QAbstractTableModel>
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
};

} // namespace quarvex
