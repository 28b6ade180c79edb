// TaskWnd.cpp - the task window and what carries the task's reports to it.
#include "TaskWnd.h"

#include "AppContext.h"
#include "DataModel.h"
#include "Export.h"
#include "QtText.h"
#include "StoreCall.h"
#include "TaskLeases.h"
#include "engine/RecordState.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <filesystem>

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
    void OnRecordEvent(ERecordEvent eEvent, std::size_t nRow, const CDataRow&) override
    {
        // A new row arrives through OnRowAdded; the others repaint a row
        // already shown (or about to be, after the flush).
        if (eEvent == ERecordEvent::NEW)
            return;
        Post([nRow](CTaskWnd& w) {
            w.FlushPending();
            w.m_pModel->RowChanged(nRow);
        });
    }
    void OnRowsReset() override
    {
        Post([](CTaskWnd& w) {
            w.FlushPending();
            w.m_pModel->ReloadRows();
        });
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
            // The worker may still show as running for a moment after this
            // report; what tells a stale report from the current run is
            // whether every start has reported its end.
            ++w.m_nStopsSeen;
            if (w.m_pLeases != nullptr && w.m_nStopsSeen >= w.m_nStarts)
                w.m_pLeases->Release(w.m_strTaskId);
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

    // Lines logged while no worker runs (loading the kept records, a start
    // refused for a lease) reach the log tab as well.
    m_pTask->SetObserver(m_pObserver.get());
    m_pModel = new CDataModel(m_pTask->GetDataList(), this);
    m_pActivityWnd->m_pList->setModel(m_pModel);
    connect(m_pActivityWnd->m_pList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QMenu menu(this);
        QAction* pExport = menu.addAction("导出数据…");
        pExport->setEnabled(m_pModel->rowCount() > 0);
        connect(pExport, &QAction::triggered, this, &CTaskWnd::OnExport);
        menu.addSeparator();
        QAction* pReset = menu.addAction("清空已保存的记录…");
        pReset->setObjectName("resetRecords");
        // Like the task's properties: only while it does not run.
        pReset->setEnabled(!IsRunning() && (m_pModel->rowCount() > 0 || !m_pTask->GetRecordStateFile().empty()));
        connect(pReset, &QAction::triggered, this, &CTaskWnd::OnResetRecords);
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
    // A task taken out while it ran: its stop report may never arrive.
    if (m_pLeases != nullptr && !m_strTaskId.empty())
        m_pLeases->Release(m_strTaskId);
}

bool CTaskWnd::SetTask(const std::string& strText, const std::string& strId)
{
    m_strTaskId = strId;
    if (!m_strRecordDir.empty() && !strId.empty() && m_pTask->GetRecordStateFile().empty()) {
        // A folder that cannot be made shows as a record file that cannot
        // be opened: the task logs it once and keeps its rows in memory.
        std::error_code error;
        std::filesystem::create_directories(m_strRecordDir, error);
        m_pTask->SetRecordStateFile(RecordStatePathForId(m_strRecordDir, strId));
    }
    if (!m_pTask->LoadDefinition(strText.c_str()))
        return false;
    Refresh();
    return true;
}

void CTaskWnd::Refresh()
{
    // Kept rows were loaded with the definition (or cleared by it when
    // their columns no longer fit); rows in memory only start over.
    if (m_pTask->GetRecordStateFile().empty())
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
    if (m_pLeases != nullptr && !m_strTaskId.empty()) {
        CTaskLeases::EGrant eGrant = CTaskLeases::EGrant::UNREACHABLE;
        RunOffGuiThread([&] { eGrant = m_pLeases->Acquire(m_strTaskId); });
        m_bElsewhere = eGrant == CTaskLeases::EGrant::ELSEWHERE;
        if (eGrant == CTaskLeases::EGrant::ELSEWHERE || eGrant == CTaskLeases::EGrant::UNREACHABLE) {
            m_pTask->Log(eGrant == CTaskLeases::EGrant::ELSEWHERE
                             ? "任务正在其他位置运行，本机没有启动此任务。"
                             : "无法向任务库申请运行此任务（连接失败），本机没有启动此任务。");
            emit StateChanged();
            return false;
        }
    }
    m_bLastFailed = false;
    const bool bStarted = m_pTask->Start(m_pObserver.get());
    if (bStarted)
        ++m_nStarts;
    else if (m_pLeases != nullptr)
        m_pLeases->Release(m_strTaskId);
    emit StateChanged();
    return bStarted;
}

void CTaskWnd::OnLeaseLost()
{
    m_bElsewhere = true;
    if (m_pTask->IsRunning()) {
        m_pTask->Log("此任务的运行权已被其他位置取得（或已过期），本机停止运行此任务。");
        m_pTask->RequestStop();
    }
    emit StateChanged();
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
    const std::string strFile = ToBytes(strPath);
    const std::string& strState = m_pTask->GetRecordStateFile();
    std::error_code error;
    if (!strState.empty() && std::filesystem::exists(strState, error)) {
        // The kept records, with their times; a record file that cannot be
        // read falls back to the rows on screen, so the user still gets them.
        const bool bCsv = ExportFormatOf(strFile) == ExportFormat::CSV;
        std::string strOut;
        std::string strWhy;
        bool bRead = false;
        RunOffGuiThread([&] {
            bRead = ExportRecords(strState, bCsv ? EExportFormat::CSV : EExportFormat::JSONL, 0, strOut, strWhy);
        });
        if (bRead) {
            // A spreadsheet reads UTF-8 only after a byte order mark.
            if (bCsv && strOut.compare(0, 3, "\xEF\xBB\xBF") != 0)
                strOut.insert(0, "\xEF\xBB\xBF");
            if (!WriteWholeFile(strFile, strOut, strWhy)) {
                strError = ToQString(strWhy);
                return false;
            }
            return true;
        }
        m_pTask->Log("导出：无法读取已保存的记录（" + strWhy + "），导出列表中的记录。");
    }
    std::vector<std::string> aColumns;
    for (int i = 0; i < m_pModel->columnCount(); ++i)
        aColumns.push_back(ToBytes(m_pModel->headerData(i, Qt::Horizontal).toString()));
    std::vector<CDataRow> aRows = m_pTask->GetDataList().GetRows();
    // What the list shows: rows appended since the last flush are not on
    // screen yet.
    if (aRows.size() > static_cast<std::size_t>(m_pModel->rowCount()))
        aRows.resize(static_cast<std::size_t>(m_pModel->rowCount()));
    std::string strWhy;
    if (!ExportRows(strFile, aColumns, aRows, strWhy)) {
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

namespace quarvex {

bool CTaskWnd::ResetRecords(QString& strError)
{
    if (IsRunning()) {
        strError = "任务正在运行，请先停止任务！";
        return false;
    }
    FlushPending();
    std::string strWhy;
    bool bReset = false;
    RunOffGuiThread([&] { bReset = m_pTask->ResetRecords(strWhy); });
    m_pModel->ReloadRows();
    if (!bReset)
        strError = ToQString(strWhy);
    return bReset;
}

void CTaskWnd::OnResetRecords()
{
    const QString strQuestion =
        QString("真的要清空任务 %1 已保存的记录吗？\n清空后，网页上的每条记录都将再次被当作新记录处理。").arg(GetTaskName());
    QMessageBox box(QMessageBox::Warning, APP_TITLE, strQuestion, QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes)
        return;
    QString strError;
    if (!ResetRecords(strError))
        QMessageBox::critical(this, APP_TITLE, QString("清空已保存的记录失败：%1").arg(strError));
}

} // namespace quarvex
