// TaskWnd.h - one task's window: the tab "任务数据" (countdown bar, activity
// bar, data list) and the tab "任务日志". It owns the task; the task's
// reports arrive on the task's notification thread and are queued to the GUI
// thread, so no task thread ever waits for a window.
#pragma once

#include "engine/Task.h"

#include <QDateTime>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class QPlainTextEdit;
class QProgressBar;
class QTableView;
class QTabWidget;

namespace quarvex {

class CDataModel;
class CTaskLeases;

// The "任务数据" page: two bars across the top and the data list below.
class CActivityWnd : public QWidget {
    Q_OBJECT
public:
    explicit CActivityWnd(QWidget* pParent = nullptr);

    QProgressBar* m_pCountdown;  // top 6, height 16
    QProgressBar* m_pActivity;   // top 25, height 16
    QTableView* m_pList;         // from 44 to the bottom

protected:
    void resizeEvent(QResizeEvent* pEvent) override;
};

class CTaskWnd : public QWidget {
    Q_OBJECT
public:
    // The log keeps this many newest lines; the task's own log is unchanged.
    static constexpr int MAX_LOG_LINES = 10000;

    explicit CTaskWnd(QWidget* pParent = nullptr);
    // Waits for the worker; call RequestStop and wait for !IsRunning() first
    // when the GUI thread must not wait (CTaskView does).
    ~CTaskWnd() override;

    // The folder of the kept records ("" keeps them in memory only, the
    // default); set before the first SetTask.
    void SetRecordDir(const std::string& strDir) { m_strRecordDir = strDir; }
    // The leases of the application's tasks (not owned); without them, or
    // for a task without a store id, a task starts as it always did.
    void SetLeases(CTaskLeases* pLeases) { m_pLeases = pLeases; }
    // Keeps the id and loads the definition; Refresh when it loaded. With a
    // record folder and a store id the task keeps its records in a file
    // named from the id, and the list starts with the kept rows.
    bool SetTask(const std::string& strText, const std::string& strId);
    // Makes one column per data node (the list is emptied unless its rows
    // are kept in a file) and, for a positive period, sets the bars' ranges
    // and starts an autoload task.
    void Refresh();
    // Starts the worker unless it runs. A period of 0 or less runs every
    // second, as the engine does, and stays stoppable. With leases, the
    // task's lease is taken first: a task that runs elsewhere, or whose
    // lease cannot be asked for, is not started (the log says why).
    bool StartTask();
    // The store gave this task's lease to another holder (or it ran out):
    // the task stops and shows as running elsewhere.
    void OnLeaseLost();
    // The last start found the task running elsewhere (or the lease was lost).
    bool IsRunningElsewhere() const { return m_bElsewhere; }
    // Asks the worker to end; does not wait.
    void StopTask();
    void RunNow();
    bool IsRunning() const { return m_pTask->IsRunning(); }

    CTask& GetTask() { return *m_pTask; }
    const std::string& GetTaskId() const { return m_strTaskId; }
    QString GetTaskName() const;
    // Whether the last pass failed to fetch its page.
    bool LastPassFailed() const { return m_bLastFailed; }
    // "成功摘取到N条记录…" line of the last pass (empty before one).
    const QString& GetLastPassText() const { return m_strLastPass; }
    // When the next pass starts (invalid when not counting down).
    const QDateTime& GetNextPass() const { return m_nextPass; }

    // Writes the rows to strPath (CSV or JSON Lines): the kept records from
    // the task's record file when it has one, else the rows the list shows.
    bool ExportTo(const QString& strPath, QString& strError);
    // Empties the list and the kept records of a stopped task; false (with
    // strError) when it runs or the record file cannot be written.
    bool ResetRecords(QString& strError);

    CActivityWnd* GetActivityWnd() const { return m_pActivityWnd; }
    QTableView* GetDataList() const;
    QPlainTextEdit* GetLogView() const { return m_pLog; }
    QTabWidget* GetTabs() const { return m_pTabs; }
    CDataModel* GetModel() const { return m_pModel; }

signals:
    // The task started, stopped, or finished a pass.
    void StateChanged();

private slots:
    void FlushPending();
    void OnExport();
    // "清空已保存的记录…": asks, then ResetRecords.
    void OnResetRecords();

private:
    class CObserver;
    friend class CObserver;

    void QueueFlush();

    QTabWidget* m_pTabs;
    CActivityWnd* m_pActivityWnd;
    QPlainTextEdit* m_pLog;
    CDataModel* m_pModel = nullptr;
    QTimer m_flushTimer;

    std::string m_strTaskId;
    std::string m_strRecordDir;
    CTaskLeases* m_pLeases = nullptr;
    bool m_bElsewhere = false;
    // Starts of the worker, and stop reports seen (each start ends in one).
    long m_nStarts = 0;
    long m_nStopsSeen = 0;
    bool m_bLastFailed = false;
    QString m_strLastPass;
    QDateTime m_nextPass;
    int m_nCountdownMax = 0;

    // Filled by the notification thread, emptied by the GUI thread.
    std::mutex m_pendingMutex;
    std::string m_strPendingLog;
    std::atomic<bool> m_bFlushQueued{ false };

    // Declared before the task: the task's destructor waits for a call in
    // progress, so the observer must outlive it.
    std::unique_ptr<CObserver> m_pObserver;
    std::unique_ptr<CTask> m_pTask;
};

} // namespace quarvex
