// TaskView.cpp - the task list, the slots and the task commands.
#include "TaskView.h"

#include "AppContext.h"
#include "DefinitionEditor.h"
#include "QtText.h"
#include "StoreCall.h"
#include "TaskLeases.h"
#include "TaskWnd.h"

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace quarvex {

namespace {

QIcon MakeStateIcon(const QColor& colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(150));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(2.5, 2.5, 11, 11));
    return QIcon(pixmap);
}

QLabel* MakeCaption(const QString& strText, QWidget* pParent)
{
    auto* pCaption = new QLabel(strText, pParent);
    pCaption->setFixedHeight(CTaskView::CAPTION_HEIGHT);
    pCaption->setContentsMargins(6, 0, 6, 0);
    pCaption->setAutoFillBackground(true);
    pCaption->setBackgroundRole(QPalette::Mid);
    pCaption->setForegroundRole(QPalette::BrightText);
    return pCaption;
}

// The message of a failed store call: a network failure when the exchange
// itself failed, else the operation's own.
QString StoreFailure(const CStoreClient& store, const char* pszOperation)
{
    return ToQString(store.GetLastError() != 0 ? STORE_MSG_NETWORK : pszOperation);
}

} // namespace

CTaskView::CTaskView(CAppContext& context, QWidget* pParent)
    : QWidget(pParent)
    , m_context(context)
    , m_iconStopped(MakeStateIcon(QColor(160, 160, 160)))
    , m_iconRunning(MakeStateIcon(QColor(40, 170, 60)))
    , m_iconFailed(MakeStateIcon(QColor(210, 50, 40)))
    , m_iconElsewhere(MakeStateIcon(QColor(70, 120, 210)))
{
    m_pSplitter = new QSplitter(Qt::Horizontal, this);
    m_pSplitter->setChildrenCollapsible(false);

    m_pLeftPane = new QWidget(m_pSplitter);
    m_pLeftPane->setObjectName("leftPane");
    auto* pLeftLayout = new QVBoxLayout(m_pLeftPane);
    pLeftLayout->setContentsMargins(0, 0, 0, 0);
    pLeftLayout->setSpacing(0);
    pLeftLayout->addWidget(MakeCaption("任务列表", m_pLeftPane));
    m_pTree = new QTreeWidget(m_pLeftPane);
    m_pTree->setObjectName("1000");
    m_pTree->setHeaderHidden(true);
    m_pTree->setRootIsDecorated(false);
    m_pTree->setIconSize(QSize(16, 16));
    pLeftLayout->addWidget(m_pTree);

    auto* pRightPane = new QWidget(m_pSplitter);
    auto* pRightLayout = new QVBoxLayout(pRightPane);
    pRightLayout->setContentsMargins(0, 0, 0, 0);
    pRightLayout->setSpacing(0);
    m_pRightCaption = MakeCaption(QString(), pRightPane);
    pRightLayout->addWidget(m_pRightCaption);
    m_pStack = new QStackedWidget(pRightPane);
    pRightLayout->addWidget(m_pStack);

    m_pSplitter->addWidget(m_pLeftPane);
    m_pSplitter->addWidget(pRightPane);
    m_pSplitter->setStretchFactor(0, 0);
    m_pSplitter->setStretchFactor(1, 1);
    m_pSplitter->setSizes({ LEFT_WIDTH, 600 });

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->addWidget(m_pSplitter);

    connect(m_pTree, &QTreeWidget::currentItemChanged, this, &CTaskView::OnSelectionChanged);
    connect(m_pTree, &QTreeWidget::itemDoubleClicked, this, [this] { TaskProperties(); });
}

CTaskView::~CTaskView()
{
    // Task windows wait for their workers; the frame closes only once none
    // runs, so this does not block on a pass.
    for (CTaskWnd*& pWnd : m_apSlots) {
        delete pWnd;
        pWnd = nullptr;
    }
    for (CTaskWnd* pWnd : m_apRemoved)
        delete pWnd;
    // Gives back what is still held, after the windows are gone.
    m_pLeases.reset();
}

void CTaskView::LoadTasks()
{
    std::vector<StoreTask> aTasks;
    const std::vector<std::string> aChosen = m_context.m_aChosenExamples;
    RunOffGuiThread([&] { m_context.m_store.LoadStartupTasks(aChosen, aTasks); });
    for (const StoreTask& task : aTasks)
        InsertTask(task.strText, task.strId);
}

int CTaskView::InsertTask(const std::string& strText, const std::string& strId)
{
    int nSlot = 0;
    while (nSlot < m_nSlotsUsed && m_apSlots[nSlot] != nullptr)
        ++nSlot;
    if (nSlot >= MAX_TASKS)
        return -1;

    auto* pWnd = new CTaskWnd(m_pStack);
    pWnd->setObjectName(QString::number(1001 + nSlot));
    pWnd->SetRecordDir(m_context.GetRecordDir());
    // The account's own tasks run in one place at a time; the examples are
    // everybody's and are not leased.
    const auto& aExamples = m_context.m_aChosenExamples;
    if (!strId.empty() && std::find(aExamples.begin(), aExamples.end(), strId) == aExamples.end()) {
        if (!m_pLeases) {
            m_pLeases = std::make_unique<CTaskLeases>(
                m_context.m_store, CTaskLeases::MakeHolderName(), m_context.m_nLeaseSeconds,
                [this](const std::string& strLostId) {
                    // From the renewal thread: the window is found on the GUI thread.
                    QMetaObject::invokeMethod(this, [this, strLostId] {
                        for (CTaskWnd* pTask : m_apSlots) {
                            if (pTask != nullptr && pTask->GetTaskId() == strLostId)
                                pTask->OnLeaseLost();
                        }
                    }, Qt::QueuedConnection);
                });
        }
        pWnd->SetLeases(m_pLeases.get());
    }
    // Loaded before the window joins the pane, so an autoload task starts
    // once, with every control in place.
    if (!pWnd->SetTask(strText, strId)) {
        delete pWnd;
        return -1;
    }
    m_apSlots[nSlot] = pWnd;
    m_pStack->addWidget(pWnd);
    connect(pWnd, &CTaskWnd::StateChanged, this, [this, nSlot] {
        UpdateItem(nSlot);
        emit StateChanged();
    });

    auto* pItem = new QTreeWidgetItem(QStringList(pWnd->GetTaskName()));
    pItem->setData(0, Qt::UserRole, nSlot);
    m_pTree->addTopLevelItem(pItem);
    m_nSlotsUsed = std::max(m_nSlotsUsed, nSlot + 1);
    UpdateItem(nSlot);
    if (nSlot == 0 || m_pTree->currentItem() == nullptr)
        m_pTree->setCurrentItem(pItem);
    emit StateChanged();
    return nSlot;
}

void CTaskView::RemoveTask(int nSlot)
{
    if (nSlot < 0 || nSlot >= MAX_TASKS || m_apSlots[nSlot] == nullptr)
        return;
    CTaskWnd* pWnd = m_apSlots[nSlot];
    m_apSlots[nSlot] = nullptr;
    m_pStack->removeWidget(pWnd);
    pWnd->hide();
    pWnd->disconnect(this);
    delete FindItem(nSlot);
    // Its worker may be in a pass: ask it to end and let it go later, so the
    // GUI thread never waits for it.
    pWnd->StopTask();
    m_apRemoved.push_back(pWnd);
    ReapRemoved();
    OnSelectionChanged();
}

void CTaskView::ReapRemoved()
{
    auto itEnd = std::remove_if(m_apRemoved.begin(), m_apRemoved.end(), [](CTaskWnd* pWnd) {
        if (pWnd->IsRunning())
            return false;
        delete pWnd;
        return true;
    });
    m_apRemoved.erase(itEnd, m_apRemoved.end());
    if (!m_apRemoved.empty())
        QTimer::singleShot(100, this, &CTaskView::ReapRemoved);
}

int CTaskView::SelectedSlot() const
{
    const QTreeWidgetItem* pItem = m_pTree->currentItem();
    return pItem != nullptr ? pItem->data(0, Qt::UserRole).toInt() : -1;
}

void CTaskView::SelectSlot(int nSlot)
{
    if (QTreeWidgetItem* pItem = FindItem(nSlot))
        m_pTree->setCurrentItem(pItem);
}

CTaskWnd* CTaskView::GetTaskWnd(int nSlot) const
{
    return nSlot >= 0 && nSlot < MAX_TASKS ? m_apSlots[nSlot] : nullptr;
}

CTaskWnd* CTaskView::GetSelectedTask() const
{
    return GetTaskWnd(SelectedSlot());
}

bool CTaskView::HasFreeSlot() const
{
    return std::any_of(m_apSlots.begin(), m_apSlots.end(), [](CTaskWnd* p) { return p == nullptr; });
}

int CTaskView::GetTaskCount() const
{
    return static_cast<int>(std::count_if(m_apSlots.begin(), m_apSlots.end(), [](CTaskWnd* p) { return p != nullptr; }));
}

bool CTaskView::AnyTaskRunning() const
{
    const auto running = [](CTaskWnd* p) { return p != nullptr && p->IsRunning(); };
    return std::any_of(m_apSlots.begin(), m_apSlots.end(), running) ||
           std::any_of(m_apRemoved.begin(), m_apRemoved.end(), running);
}

void CTaskView::StopAllTasks()
{
    for (CTaskWnd* pWnd : m_apSlots) {
        if (pWnd != nullptr)
            pWnd->StopTask();
    }
}

void CTaskView::NewTask()
{
    // A task the view cannot show must not be stored either.
    if (!HasFreeSlot()) {
        QMessageBox::warning(this, APP_TITLE, QString("最多只能同时打开%1个任务，请先删除一个任务！").arg(MAX_TASKS));
        return;
    }
    CMarkupDoc definition;
    if (!EditDefinition(this, definition, "新建任务"))
        return;
    std::string strText;
    definition.SaveToString(strText);
    std::optional<std::string> id;
    RunOffGuiThread([&] { id = m_context.m_store.AddTask(strText); });
    if (!id) {
        QMessageBox::warning(this, APP_TITLE, StoreFailure(m_context.m_store, STORE_MSG_ADD_FAILED));
        return;
    }
    const int nSlot = InsertTask(strText, *id);
    if (nSlot >= 0)
        SelectSlot(nSlot);
}

void CTaskView::TaskProperties()
{
    const int nSlot = SelectedSlot();
    CTaskWnd* pWnd = GetTaskWnd(nSlot);
    if (pWnd == nullptr || pWnd->IsRunning())
        return;
    CMarkupDoc definition;
    definition.CopyFrom(pWnd->GetTask().GetDefinition());
    if (!EditDefinition(this, definition, "任务属性"))
        return;
    std::string strText;
    definition.SaveToString(strText);
    const std::string strId = pWnd->GetTaskId();
    bool bUpdated = false;
    RunOffGuiThread([&] { bUpdated = m_context.m_store.UpdateTask(strId, strText); });
    if (!bUpdated) {
        QMessageBox::critical(this, APP_TITLE, StoreFailure(m_context.m_store, STORE_MSG_UPDATE_FAILED));
        return;
    }
    pWnd->SetTask(strText, strId);
    UpdateItem(nSlot);
    OnSelectionChanged();
}

void CTaskView::DeleteTask()
{
    const int nSlot = SelectedSlot();
    CTaskWnd* pWnd = GetTaskWnd(nSlot);
    if (pWnd == nullptr || pWnd->IsRunning())
        return;
    const QString strQuestion = QString("真的要删除任务 %1 吗？").arg(pWnd->GetTaskName());
    QMessageBox box(QMessageBox::Warning, APP_TITLE, strQuestion, QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes)
        return;
    const std::string strId = pWnd->GetTaskId();
    bool bDeleted = false;
    RunOffGuiThread([&] { bDeleted = m_context.m_store.DeleteTask(strId); });
    if (!bDeleted) {
        QMessageBox::critical(this, APP_TITLE, StoreFailure(m_context.m_store, STORE_MSG_DELETE_FAILED));
        return;
    }
    RemoveTask(nSlot);
}

void CTaskView::StartTask()
{
    if (CTaskWnd* pWnd = GetSelectedTask())
        pWnd->StartTask();
}

void CTaskView::StopTask()
{
    if (CTaskWnd* pWnd = GetSelectedTask())
        pWnd->StopTask();
}

void CTaskView::RunTaskNow()
{
    if (CTaskWnd* pWnd = GetSelectedTask())
        pWnd->RunNow();
}

void CTaskView::ToggleTaskList()
{
    m_pLeftPane->setVisible(m_pLeftPane->isHidden());
    if (m_pLeftPane->isVisible())
        m_pSplitter->setSizes({ LEFT_WIDTH, std::max(1, width() - LEFT_WIDTH) });
    emit StateChanged();
}

bool CTaskView::IsTaskListVisible() const
{
    return !m_pLeftPane->isHidden();
}

void CTaskView::OnSelectionChanged()
{
    CTaskWnd* pWnd = GetSelectedTask();
    if (pWnd == nullptr) {
        // The first remaining task is shown, as after a removal.
        for (CTaskWnd* pOther : m_apSlots) {
            if (pOther != nullptr) {
                pWnd = pOther;
                break;
            }
        }
    }
    if (pWnd != nullptr) {
        m_pStack->setCurrentWidget(pWnd);
        m_pRightCaption->setText(pWnd->GetTaskName());
    } else {
        m_pRightCaption->clear();
    }
    emit StateChanged();
}

void CTaskView::UpdateItem(int nSlot)
{
    QTreeWidgetItem* pItem = FindItem(nSlot);
    CTaskWnd* pWnd = GetTaskWnd(nSlot);
    if (pItem == nullptr || pWnd == nullptr)
        return;
    const bool bElsewhere = !pWnd->IsRunning() && pWnd->IsRunningElsewhere();
    pItem->setText(0, bElsewhere ? pWnd->GetTaskName() + "（正在其他位置运行）" : pWnd->GetTaskName());
    pItem->setToolTip(0, bElsewhere ? QString("任务正在其他位置运行，本机没有运行此任务。") : QString());
    if (bElsewhere)
        pItem->setIcon(0, m_iconElsewhere);
    else
        pItem->setIcon(0, pWnd->IsRunning() ? (pWnd->LastPassFailed() ? m_iconFailed : m_iconRunning)
                                             : (pWnd->LastPassFailed() ? m_iconFailed : m_iconStopped));
    if (pWnd == GetSelectedTask())
        m_pRightCaption->setText(pWnd->GetTaskName());
}

QTreeWidgetItem* CTaskView::FindItem(int nSlot) const
{
    for (int i = 0; i < m_pTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* pItem = m_pTree->topLevelItem(i);
        if (pItem->data(0, Qt::UserRole).toInt() == nSlot)
            return pItem;
    }
    return nullptr;
}

} // namespace quarvex
