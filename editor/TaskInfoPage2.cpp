// TaskInfoPage2.cpp - the Content page (内容): the tree of blocks and fields,
// the node commands and the preview.
#include "TaskInfoSheet.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "NodeDialog.h"
#include "engine/ExtractOnce.h"
#include "markup/TaskDef.h"

namespace quarvex {

namespace {

// Blocks may nest only this deep in a tree that is shown; the engine reads
// no deeper either.
constexpr int MAX_TREE_DEPTH = 64;
// Rows of a preview shown at most; the log line still counts them all.
constexpr int MAX_PREVIEW_ROWS = 2000;

const char* const s_apszPropertyNames[] = {
    "节点类型", "节点名称", "节点路径", "兄弟节点路径", "属性名称", "节点序号", "是否唯一", "分隔字符", "保存目录",
};

CMarkupNode* ElementOf(const QTreeWidgetItem* pItem)
{
    return pItem != nullptr ? reinterpret_cast<CMarkupNode*>(pItem->data(0, Qt::UserRole).value<quintptr>())
                            : nullptr;
}

} // namespace

CTaskInfoPage2::CTaskInfoPage2(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc) : CTaskInfoPage(pSheet, pDoc)
{
    auto* pLayout = new QHBoxLayout(this);
    auto* pSplitter = new QSplitter(Qt::Horizontal, this);
    m_pTree = new QTreeWidget(pSplitter);
    m_pTree->setObjectName("tree");
    m_pTree->setHeaderHidden(true);
    m_pTree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_pTree->setExpandsOnDoubleClick(false);
    m_pTree->setIconSize(QSize(16, 16));

    auto* pRight = new QWidget(pSplitter);
    auto* pRightLayout = new QVBoxLayout(pRight);
    pRightLayout->setContentsMargins(0, 0, 0, 0);
    m_pProperties = new QTableWidget(9, 2, pRight);
    m_pProperties->setObjectName("properties");
    m_pProperties->setHorizontalHeaderLabels({QStringLiteral("项目"), QStringLiteral("内容")});
    m_pProperties->setColumnWidth(0, 100);
    m_pProperties->setColumnWidth(1, 240);
    m_pProperties->horizontalHeader()->setStretchLastSection(true);
    m_pProperties->verticalHeader()->hide();
    m_pProperties->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pProperties->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int i = 0; i < 9; ++i) {
        m_pProperties->setItem(i, 0, new QTableWidgetItem(QString::fromUtf8(s_apszPropertyNames[i])));
        m_pProperties->setItem(i, 1, new QTableWidgetItem);
        m_pProperties->setRowHeight(i, m_pProperties->fontMetrics().height() + 6);
    }
    m_pProperties->setFixedHeight(m_pProperties->horizontalHeader()->sizeHint().height() +
                                  9 * (m_pProperties->fontMetrics().height() + 6) + 4);
    pRightLayout->addWidget(m_pProperties);

    auto* pPreviewRow = new QHBoxLayout;
    m_pPreviewButton = new QPushButton(QStringLiteral("预览"), pRight);
    m_pPreviewButton->setObjectName("preview");
    m_pPreviewButton->setAutoDefault(false);
    m_pPreviewButton->setToolTip(QStringLiteral("按当前的设置摘取一次网页，只显示结果，不保存、不提交"));
    m_pCancelButton = new QPushButton(QStringLiteral("停止"), pRight);
    m_pCancelButton->setObjectName("cancelPreview");
    m_pCancelButton->setAutoDefault(false);
    m_pCancelButton->setEnabled(false);
    pPreviewRow->addWidget(m_pPreviewButton);
    pPreviewRow->addWidget(m_pCancelButton);
    pPreviewRow->addStretch();
    pRightLayout->addLayout(pPreviewRow);
    m_pPreviewLog = new QLabel(pRight);
    m_pPreviewLog->setObjectName("previewLog");
    m_pPreviewLog->setWordWrap(true);
    m_pPreviewLog->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pRightLayout->addWidget(m_pPreviewLog);
    m_pPreview = new QTableWidget(0, 0, pRight);
    m_pPreview->setObjectName("previewTable");
    m_pPreview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pPreview->setSelectionBehavior(QAbstractItemView::SelectRows);
    pRightLayout->addWidget(m_pPreview, 1);

    pSplitter->setStretchFactor(0, 2);
    pSplitter->setStretchFactor(1, 3);
    pLayout->addWidget(pSplitter);

    connect(m_pTree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* pItem) { ShowNode(pItem); });
    connect(m_pTree, &QTreeWidget::customContextMenuRequested, this, &CTaskInfoPage2::ShowMenu);
    connect(m_pTree, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* pItem) { RunCommand(CMD_MODIFY, pItem, true); });
    connect(m_pPreviewButton, &QPushButton::clicked, this, &CTaskInfoPage2::StartPreview);
    connect(m_pCancelButton, &QPushButton::clicked, this, &CTaskInfoPage2::CancelPreview);
}

CTaskInfoPage2::~CTaskInfoPage2()
{
    CancelPreview();
    JoinPreview();
}

void CTaskInfoPage2::OnInit()
{
    FillTree();
}

// ---- the tree ----

void CTaskInfoPage2::FillTree()
{
    m_pTree->clear();
    const CMarkupNode* pRoot = m_pDoc->FindTopLevel(KEY_ROOT);
    if (pRoot == nullptr)
        return;
    for (CMarkupNode* p = pRoot->FindChild(KEY_LOCATION); p != nullptr; p = p->NextSameName())
        InsertLocation(nullptr, p);
}

QTreeWidgetItem* CTaskInfoPage2::InsertLocation(QTreeWidgetItem* pParent, CMarkupNode* pLocation)
{
    int nDepth = 0;
    for (QTreeWidgetItem* p = pParent; p != nullptr; p = p->parent())
        ++nDepth;
    auto* pItem = pParent != nullptr ? new QTreeWidgetItem(pParent) : new QTreeWidgetItem(m_pTree);
    pItem->setText(0, ToQ(GetLocationName(pLocation)));
    pItem->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    pItem->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(pLocation)));
    if (nDepth < MAX_TREE_DEPTH) {
        for (CMarkupNode* p = pLocation->FindChild(KEY_LOCATION); p != nullptr; p = p->NextSameName())
            InsertLocation(pItem, p);
        for (CMarkupNode* p = pLocation->FindChild(KEY_DATA); p != nullptr; p = p->NextSameName())
            InsertData(pItem, p);
    }
    pItem->setExpanded(true);
    return pItem;
}

QTreeWidgetItem* CTaskInfoPage2::InsertData(QTreeWidgetItem* pParent, CMarkupNode* pData)
{
    auto* pItem = new QTreeWidgetItem(pParent);
    pItem->setText(0, ToQ(GetDataName(pData)));
    pItem->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
    pItem->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(pData)));
    // Only the first block of a linked page is read, so only it is shown.
    if (CMarkupNode* pLinked = pData->FindChild(KEY_LOCATION))
        InsertLocation(pItem, pLinked);
    return pItem;
}

QTreeWidgetItem* CTaskInfoPage2::FindItem(const CMarkupNode* pElem) const
{
    for (QTreeWidgetItemIterator it(m_pTree); *it != nullptr; ++it) {
        if (ElementOf(*it) == pElem)
            return *it;
    }
    return nullptr;
}

void CTaskInfoPage2::ShowNode(QTreeWidgetItem* pItem)
{
    const CMarkupNode* pElem = ElementOf(pItem);
    QStringList values;
    if (pElem != nullptr) {
        const bool bLocation = IsLocation(pElem);
        values << ToQ(NodeTypeText(pElem))
               << ToQ(bLocation ? GetLocationName(pElem) : GetDataName(pElem)) << ToQ(FullNodePath(pElem))
               << ToQ(bLocation ? FullSiblingPath(pElem) : std::string());
        for (const char* pszKey : {KEY_ATTRIBUTE, KEY_ORDER, KEY_ONLY, KEY_SPLITTER, KEY_DIRECTORY})
            values << ToQ(GetKeyText(pElem, pszKey));
    }
    for (int i = 0; i < 9; ++i)
        m_pProperties->item(i, 1)->setText(i < values.size() ? values[i] : QString());
}

// ---- commands ----

bool CTaskInfoPage2::IsCommandEnabled(int nCommand, QTreeWidgetItem* pItem) const
{
    switch (nCommand) {
    case CMD_ADD:
        return true;
    case CMD_MODIFY:
        return pItem != nullptr;
    case CMD_DELETE:
        return pItem != nullptr && pItem->childCount() == 0;
    case CMD_ADD_LINKED:
        return pItem != nullptr && NodeTypeIndexOf(ElementOf(pItem)) == NODE_LINKED_PAGE;
    default:
        return false;
    }
}

void CTaskInfoPage2::ShowMenu(const QPoint& pt)
{
    QTreeWidgetItem* pItem = m_pTree->itemAt(pt);
    if (pItem != nullptr)
        m_pTree->setCurrentItem(pItem);
    QMenu menu(this);
    const std::pair<int, const char*> aCommands[] = {
        {CMD_ADD, "添加节点"}, {CMD_MODIFY, "修改节点"}, {CMD_DELETE, "删除节点"}, {CMD_ADD_LINKED, "添加链接网页节点"},
    };
    for (const auto& [nCommand, pszText] : aCommands) {
        QAction* pAction = menu.addAction(QString::fromUtf8(pszText));
        pAction->setData(nCommand);
        pAction->setEnabled(IsCommandEnabled(nCommand, pItem));
    }
    if (QAction* pChosen = menu.exec(m_pTree->viewport()->mapToGlobal(pt)))
        RunCommand(pChosen->data().toInt(), pItem);
}

void CTaskInfoPage2::RunCommand(int nCommand, QTreeWidgetItem* pItem, bool bFromDoubleClick)
{
    if (!IsCommandEnabled(nCommand, pItem))
        return;
    switch (nCommand) {
    case CMD_ADD:
        AddNodeTo(EnsureTaskRoot(*m_pDoc));
        break;
    case CMD_MODIFY:
        ModifyNodeOf(pItem, bFromDoubleClick);
        break;
    case CMD_DELETE:
        DeleteNodeOf(pItem);
        break;
    case CMD_ADD_LINKED:
        AddNodeTo(ElementOf(pItem));
        break;
    }
}

void CTaskInfoPage2::AddNodeTo(CMarkupNode* pOwner)
{
    CNodeDialog dialog(this, SNodeFields());
    if (dialog.exec() != QDialog::Accepted)
        return;
    CMarkupNode* pNew = nullptr;
    if (AddNode(pOwner, dialog.GetFields(), &pNew) == ADD_SECOND_LINKED_BLOCK) {
        ShowWarning(this, QStringLiteral("链接网页只能有一个顶层区块，该节点不在这个区块之内。"
                                         "请在链接网页中选择该区块之内的节点！"));
        return;
    }
    FillTree();
    if (QTreeWidgetItem* pItem = FindItem(pNew))
        m_pTree->setCurrentItem(pItem);
    RefreshPreviewAfterPick();
}

void CTaskInfoPage2::ModifyNodeOf(QTreeWidgetItem* pItem, bool bFromDoubleClick)
{
    CMarkupNode* pElem = ElementOf(pItem);
    if (pElem == nullptr)
        return;
    CNodeDialog dialog(this, ReadNodeFields(pElem));
    if (dialog.exec() != QDialog::Accepted)
        return;
    ModifyNode(pElem, dialog.GetFields(), bFromDoubleClick ? MODIFY_FROM_DOUBLE_CLICK : MODIFY_FROM_MENU);
    pItem->setText(0, ToQ(IsLocation(pElem) ? GetLocationName(pElem) : GetDataName(pElem)));
    ShowNode(pItem);
    RefreshPreviewAfterPick();
}

void CTaskInfoPage2::DeleteNodeOf(QTreeWidgetItem* pItem)
{
    CMarkupNode* pElem = ElementOf(pItem);
    if (pElem == nullptr || pElem->GetParent() == nullptr)
        return;
    if (!AskYesNo(this, QStringLiteral("真的要删除当前节点吗？")))
        return;
    pElem->GetParent()->RemoveChild(pElem);
    delete pItem;
    ShowNode(m_pTree->currentItem());
}

// ---- preview ----

void CTaskInfoPage2::StartPreview()
{
    if (m_previewThread.joinable())
        return;
    auto pDef = std::make_shared<CMarkupDoc>();
    m_pSheet->BuildCurrentDefinition(*pDef);
    RunPreview(pDef, nullptr, std::string());
}

void CTaskInfoPage2::RefreshPreviewAfterPick()
{
    INodePicker* pPicker = CNodeDialog::GetPicker();
    if (pPicker == nullptr || m_previewThread.joinable())
        return;
    auto pDef = std::make_shared<CMarkupDoc>();
    m_pSheet->BuildCurrentDefinition(*pDef);
    const CMarkupNode* pNetwork = pDef->FindPath(PATH_NETWORK);
    const char* pszUrl = pNetwork != nullptr ? pNetwork->GetChildValue(KEY_URL) : nullptr;
    if (pszUrl == nullptr || *pszUrl == '\0')
        return;
    auto pPage = std::make_shared<std::string>();
    if (!pPicker->GetCheckedPage(pszUrl, *pPage))
        return;
    RunPreview(pDef, pPage, pszUrl);
}

void CTaskInfoPage2::RunPreview(std::shared_ptr<CMarkupDoc> pDef, std::shared_ptr<const std::string> pPage,
                                const std::string& strUrl)
{
    m_pExtract = std::make_unique<CExtractOnce>();
    m_pPreviewButton->setEnabled(false);
    m_pCancelButton->setEnabled(true);
    m_pPreviewLog->setText(QStringLiteral("正在获取网页内容..."));
    CExtractOnce* pExtract = m_pExtract.get();
    m_previewThread = std::thread([this, pExtract, pDef, pPage, strUrl] {
        auto pResult = std::make_shared<CExtractResult>();
        if (pPage != nullptr)
            pExtract->RunOnPage(*pDef, *pPage, strUrl, *pResult);
        else
            pExtract->Run(*pDef, *pResult);
        // Delivered on the GUI thread; dropped if the page is gone by then
        // (its destructor has joined this thread first).
        QMetaObject::invokeMethod(this, [this, pResult] { OnPreviewDone(pResult); }, Qt::QueuedConnection);
    });
}

void CTaskInfoPage2::CancelPreview()
{
    if (m_pExtract != nullptr && m_previewThread.joinable())
        m_pExtract->Cancel();
}

void CTaskInfoPage2::JoinPreview()
{
    if (m_previewThread.joinable())
        m_previewThread.join();
}

void CTaskInfoPage2::OnPreviewDone(std::shared_ptr<CExtractResult> pResult)
{
    JoinPreview();
    m_pPreviewButton->setEnabled(true);
    m_pCancelButton->setEnabled(false);
    QString log = ToQ(pResult->m_strLog).trimmed();
    if (pResult->m_bCancelled)
        log = QStringLiteral("预览已停止。");
    m_pPreviewLog->setText(log);
    m_pPreview->clear();
    QStringList headers;
    for (const std::string& strName : pResult->m_aColumnNames)
        headers << ToQ(strName);
    m_pPreview->setColumnCount(static_cast<int>(headers.size()));
    m_pPreview->setHorizontalHeaderLabels(headers);
    const int nRows = static_cast<int>(std::min<size_t>(pResult->m_aRecords.size(), MAX_PREVIEW_ROWS));
    m_pPreview->setRowCount(nRows);
    for (int nRow = 0; nRow < nRows; ++nRow) {
        const std::vector<std::string>& aRecord = pResult->m_aRecords[static_cast<size_t>(nRow)];
        for (size_t nColumn = 0; nColumn < aRecord.size() && nColumn < static_cast<size_t>(headers.size()); ++nColumn)
            m_pPreview->setItem(nRow, static_cast<int>(nColumn), new QTableWidgetItem(ToQ(aRecord[nColumn])));
    }
}

} // namespace quarvex
