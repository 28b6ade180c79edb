// TaskWnd.cpp - the task window and what carries the task's reports to it.
#include "TaskWnd.h"

#include "AppContext.h"
#include "DataModel.h"
#include "Export.h"
#include "QtText.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace quarvex {

namespace {

// Reports arriving faster than this are shown together.
constexpr int FLUSH_INTERVAL_MS = 50;

QProgressBar* MakeBar(QWidget* pParent, const char* pszName)
{
    auto* pBar = new QProgressBar(pParent);
    pBar->setObjectName(pszName);
    pBar->setTextVisible(false);
    pBar->setRange(0, 0);
    pBar->setValue(0);
    // A busy indicator until a range is set would move by itself; an empty
    // bar says "nothing counted yet".
    pBar->setRange(0, 1);
    return pBar;
}

} // namespace

CActivityWnd::CActivityWnd(QWidget* pParent)
    : QWidget(pParent)
{
    setObjectName("Activity");
    m_pCountdown = MakeBar(this, "countdown");
    m_pActivity = MakeBar(this, "activity");
    m_pList = new QTableView(this);
    m_pList->setObjectName("dataList");
    m_pList->setShowGrid(true);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setFrameShape(QFrame::StyledPanel);
    m_pList->setFrameShadow(QFrame::Sunken);
    // No row numbers: a header keeps a record per row, which would cost as
    // much as the rows' text on a long list.
    m_pList->verticalHeader()->setDefaultSectionSize(m_pList->fontMetrics().height() + 6);
    m_pList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_pList->verticalHeader()->hide();
    m_pList->horizontalHeader()->setDefaultSectionSize(100);
    m_pList->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_pList->horizontalHeader()->setStretchLastSection(false);
    m_pList->setWordWrap(false);
    m_pList->setContextMenuPolicy(Qt::CustomContextMenu);
}

void CActivityWnd::resizeEvent(QResizeEvent* pEvent)
{
    QWidget::resizeEvent(pEvent);
    const int nWidth = width();
    m_pCountdown->setGeometry(0, 6, nWidth, 16);
    m_pActivity->setGeometry(0, 25, nWidth, 16);
    m_pList->setGeometry(0, 44, nWidth, std::max(0, height() - 44));
}

// Runs on the task's notification thread: it only records and posts.
class CTaskWnd::CObserver : public ITaskObserver {
public:
    explicit CObserver(CTaskWnd* pWnd)
        : m_pWnd(pWnd)
    {
    }

    void OnCountdownRange(int nMax) override
    {
        Post([nMax](CTaskWnd& w) {
            w.m_nCountdownMax = nMax;
            w.m_pActivityWnd->m_pCountdown->setRange(0, std::max(1, nMax));
            w.m_pActivityWnd->m_pActivity->setRange(0, 1000);
        });
    }
    void OnCountdown(int nPos) override
    {
        Post([nPos](CTaskWnd& w) {
            QProgressBar* pBar = w.m_pActivityWnd->m_pCountdown;
            pBar->setValue(std::min(nPos, pBar->maximum()));
            if (nPos < w.m_nCountdownMax)
                w.m_nextPass = QDateTime::currentDateTime().addSecs(w.m_nCountdownMax - nPos);
            else
                w.m_nextPass = QDateTime();
        });
    }
    void OnActivityStep() override
    {
        Post([](CTaskWnd& w) {
            QProgressBar* pBar = w.m_pActivityWnd->m_pActivity;
            pBar->setValue(pBar->value() >= pBar->maximum() ? 0 : pBar->value() + 1);
        });
    }
    void OnActivity(int nPos) override
    {
        Post([nPos](CTaskWnd& w) { w.m_pActivityWnd->m_pActivity->setValue(nPos); });
    }
    void OnRowAdded(const CDataRow&) override
    {
        // The row is already in the task's list; the model reads it there.
        m_pWnd->QueueFlush();
    }
    void OnLog(const std::string& strLine) override
    {
        {
            std::lock_guard<std::mutex> lock(m_pWnd->m_pendingMutex);
            m_pWnd->m_strPendingLog += strLine;
        }
        m_pWnd->QueueFlush();
    }
    void OnPassEnd(bool bFetched, int nSeen, int nNew) override
    {
        Post([bFetched, nSeen, nNew](CTaskWnd& w) {
            w.FlushPending();
            w.m_bLastFailed = !bFetched;
            const QString strTime = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss");
            if (bFetched)
                w.m_strLastPass = QString("[%1]:成功摘取到%2条记录。其中有%3条新记录被处理。").arg(strTime).arg(nSeen).arg(nNew);
            else
                w.m_strLastPass = QString("[%1]:无法获取网页内容。").arg(strTime);
            emit w.StateChanged();
        });
    }
    void OnStopped() override
    {
        Post([](CTaskWnd& w) {
            w.FlushPending();
            w.m_nextPass = QDateTime();
            emit w.StateChanged();
        });
    }

private:
    template <class F>
    void Post(F fnCall)
    {
        CTaskWnd* pWnd = m_pWnd;
        // Queued, never blocking: when the window is gone Qt drops the call.
        QMetaObject::invokeMethod(pWnd, [pWnd, fnCall] { fnCall(*pWnd); }, Qt::QueuedConnection);
    }

    CTaskWnd* m_pWnd;
};

CTaskWnd::CTaskWnd(QWidget* pParent)
    : QWidget(pParent)
    , m_pObserver(std::make_unique<CObserver>(this))
    , m_pTask(std::make_unique<CTask>())
{
    m_pTabs = new QTabWidget(this);
    m_pTabs->setObjectName("tabs");
    m_pTabs->setDocumentMode(true);
    m_pActivityWnd = new CActivityWnd(m_pTabs);
    m_pLog = new QPlainTextEdit(m_pTabs);
    m_pLog->setObjectName("log");
    m_pLog->setReadOnly(true);
    m_pLog->setMaximumBlockCount(MAX_LOG_LINES);
    m_pLog->setFrameShadow(QFrame::Sunken);
    m_pLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pTabs->addTab(m_pActivityWnd, "任务数据");
    m_pTabs->addTab(m_pLog, "任务日志");
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->addWidget(m_pTabs);

    m_pModel = new CDataModel(m_pTask->GetDataList(), this);
    m_pActivityWnd->m_pList->setModel(m_pModel);
    connect(m_pActivityWnd->m_pList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QMenu menu(this);
        QAction* pExport = menu.addAction("导出数据…");
        pExport->setEnabled(m_pModel->rowCount() > 0);
        connect(pExport, &QAction::triggered, this, &CTaskWnd::OnExport);
        menu.exec(m_pActivityWnd->m_pList->viewport()->mapToGlobal(pos));
    });

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(FLUSH_INTERVAL_MS);
    connect(&m_flushTimer, &QTimer::timeout, this, &CTaskWnd::FlushPending);
}

CTaskWnd::~CTaskWnd()
{
    // The model reads the task's list: detach it before the task goes.
    m_pActivityWnd->m_pList->setModel(nullptr);
    delete m_pModel;
    m_pModel = nullptr;
    m_pTask.reset();
}

bool CTaskWnd::SetTask(const std::string& strText, const std::string& strId)
{
    m_strTaskId = strId;
    if (!m_pTask->LoadDefinition(strText.c_str()))
        return false;
    Refresh();
    return true;
}

void CTaskWnd::Refresh()
{
    m_pTask->GetDataList().Clear();
    QStringList aColumns;
    for (const std::string& strName : m_pTask->GetColumnNames())
        aColumns << ToQString(strName);
    m_pModel->Reset(aColumns);
    for (int i = 0; i < aColumns.size(); ++i)
        m_pActivityWnd->m_pList->setColumnWidth(i, 100);
    const int nPeriod = m_pTask->GetPeriod();
    if (nPeriod > 0) {
        m_nCountdownMax = nPeriod;
        m_pActivityWnd->m_pCountdown->setRange(0, nPeriod);
        m_pActivityWnd->m_pActivity->setRange(0, 1000);
        if (m_pTask->GetAutoLoad())
            StartTask();
    }
}

bool CTaskWnd::StartTask()
{
    if (m_pTask->IsRunning())
        return false;
    m_bLastFailed = false;
    const bool bStarted = m_pTask->Start(m_pObserver.get());
    emit StateChanged();
    return bStarted;
}

void CTaskWnd::StopTask()
{
    m_pTask->RequestStop();
    emit StateChanged();
}

void CTaskWnd::RunNow()
{
    if (m_pTask->IsRunning())
        m_pTask->RunNow();
}

QString CTaskWnd::GetTaskName() const
{
    return ToQString(m_pTask->GetTaskName());
}

QTableView* CTaskWnd::GetDataList() const
{
    return m_pActivityWnd->m_pList;
}

void CTaskWnd::QueueFlush()
{
    if (!m_bFlushQueued.exchange(true)) {
        QMetaObject::invokeMethod(this, [this] {
            if (!m_flushTimer.isActive())
                m_flushTimer.start();
        }, Qt::QueuedConnection);
    }
}

void CTaskWnd::FlushPending()
{
    // Cleared before reading, so a report that comes meanwhile queues again.
    m_bFlushQueued = false;
    std::string strLog;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        strLog.swap(m_strPendingLog);
    }
    if (!strLog.empty()) {
        // One block per line; the CR LF of each line is the block's end.
        QString strText = ToQString(strLog);
        strText.replace("\r\n", "\n");
        if (strText.endsWith('\n'))
            strText.chop(1);
        // A week of passes must not pile up in memory before the block
        // limit applies: only the newest lines are handed to the view.
        const QStringList aLines = strText.split('\n');
        if (aLines.size() > MAX_LOG_LINES)
            strText = aLines.mid(aLines.size() - MAX_LOG_LINES).join('\n');
        m_pLog->appendPlainText(strText);
    }
    m_pModel->ShowNewRows();
}

bool CTaskWnd::ExportTo(const QString& strPath, QString& strError)
{
    FlushPending();
    std::vector<std::string> aColumns;
    for (int i = 0; i < m_pModel->columnCount(); ++i)
        aColumns.push_back(ToBytes(m_pModel->headerData(i, Qt::Horizontal).toString()));
    std::vector<CDataRow> aRows = m_pTask->GetDataList().GetRows();
    // What the list shows: rows appended since the last flush are not on
    // screen yet.
    if (aRows.size() > static_cast<std::size_t>(m_pModel->rowCount()))
        aRows.resize(static_cast<std::size_t>(m_pModel->rowCount()));
    std::string strWhy;
    if (!ExportRows(ToBytes(strPath), aColumns, aRows, strWhy)) {
        strError = ToQString(strWhy);
        return false;
    }
    return true;
}

void CTaskWnd::OnExport()
{
    const QString strPath = QFileDialog::getSaveFileName(this, "导出数据", GetTaskName() + ".csv",
                                                         "CSV (*.csv);;JSON Lines (*.jsonl)");
    if (strPath.isEmpty())
        return;
    QString strError;
    if (!ExportTo(strPath, strError))
        QMessageBox::critical(this, APP_TITLE, QString("导出数据失败：%1").arg(strError));
}

} // namespace quarvex
