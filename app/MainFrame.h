// MainFrame.h - the main window: menu, toolbar and status bar around the task
// view. Closing stops every task and polls every 100 ms until none runs,
// without blocking the window.
#pragma once

#include <QMainWindow>
#include <QMap>
#include <QTimer>

class QAction;
class QToolBar;
class QLabel;

namespace quarvex {

class CAppContext;
class CTaskView;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Command ids, as the menu and toolbar name them.
    enum {
        ID_CONFIG = 32777,
        ID_APP_EXIT = 57665,
        ID_NEW_TASK = 32771,
        ID_DELETE_TASK = 32772,
        ID_START_TASK = 32774,
        ID_STOP_TASK = 32775,
        ID_TASK_PROPERTIES = 32773,
        ID_RUN_NOW = 32778,
        ID_VIEW_TOOLBAR = 59392,
        ID_VIEW_STATUS_BAR = 59393,
        ID_VIEW_TASK_LIST = 32776,
        ID_HELP_FINDER = 57670,
        ID_APP_ABOUT = 57664,
    };

    explicit CMainFrame(CAppContext& context, QWidget* pParent = nullptr);
    ~CMainFrame() override;

    CTaskView* GetTaskView() const { return m_pTaskView; }
    // The action of a command id; null for an unknown id.
    QAction* GetAction(int nId) const { return m_mapActions.value(nId); }
    // Re-applies the enabling rules and the status text.
    void UpdateCommands();
    // Shows the window, restored when minimised, in front.
    void BringToFront();
    // True once the close sequence let the window go.
    bool IsClosed() const { return m_bClosed; }

signals:
    void Closed();

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    QAction* AddCommand(int nId, const QString& strText, void (CMainFrame::*pfnSlot)());
    void OnConfig();
    void OnExit();
    void OnNewTask();
    void OnDeleteTask();
    void OnStartTask();
    void OnStopTask();
    void OnTaskProperties();
    void OnRunNow();
    void OnViewToolbar();
    void OnViewStatusBar();
    void OnViewTaskList();
    void OnHelp();
    void OnAbout();
    void OnCloseTick();

    CAppContext& m_context;
    CTaskView* m_pTaskView;
    QToolBar* m_pToolBar = nullptr;
    QLabel* m_pStatusLabel = nullptr;
    QMap<int, QAction*> m_mapActions;
    QTimer m_closeTimer;  // 444: polls the task threads while closing.
    QTimer m_statusTimer;
    bool m_bClosing = false;
    bool m_bClosed = false;
};

} // namespace quarvex
