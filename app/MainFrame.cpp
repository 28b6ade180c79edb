// MainFrame.cpp - commands, their enabling rules and the close sequence.
#include "MainFrame.h"

#include "AppContext.h"
#include "ConfigDialog.h"
#include "QtText.h"
#include "TaskView.h"
#include "TaskWnd.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

namespace quarvex {

CMainFrame::CMainFrame(CAppContext& context, QWidget* pParent)
    : QMainWindow(pParent)
    , m_context(context)
{
    setObjectName("mainFrame");
    setWindowTitle(APP_TITLE);
    setWindowIcon(QIcon(":/quarvex/quarvex.png"));
    setMinimumSize(600, 400);
    resize(960, 640);

    m_pTaskView = new CTaskView(context, this);
    setCentralWidget(m_pTaskView);

    QStyle* pStyle = style();
    QMenu* pFile = menuBar()->addMenu("文件(&F)");
    pFile->addAction(AddCommand(ID_CONFIG, "配置(&C)", &CMainFrame::OnConfig));
    pFile->addSeparator();
    pFile->addAction(AddCommand(ID_APP_EXIT, "退出(&X)", &CMainFrame::OnExit));
    QMenu* pTask = menuBar()->addMenu("任务(&T)");
    pTask->addAction(AddCommand(ID_NEW_TASK, "新建任务(&N)", &CMainFrame::OnNewTask));
    pTask->addAction(AddCommand(ID_DELETE_TASK, "删除任务(&D)", &CMainFrame::OnDeleteTask));
    pTask->addSeparator();
    pTask->addAction(AddCommand(ID_START_TASK, "启动任务(&S)", &CMainFrame::OnStartTask));
    pTask->addAction(AddCommand(ID_STOP_TASK, "停止任务(&E)", &CMainFrame::OnStopTask));
    pTask->addAction(AddCommand(ID_RUN_NOW, "立即运行(&R)", &CMainFrame::OnRunNow));
    pTask->addSeparator();
    pTask->addAction(AddCommand(ID_TASK_PROPERTIES, "任务属性(&P)", &CMainFrame::OnTaskProperties));
    QMenu* pView = menuBar()->addMenu("查看(&V)");
    pView->addAction(AddCommand(ID_VIEW_TOOLBAR, "工具栏(&T)", &CMainFrame::OnViewToolbar));
    pView->addAction(AddCommand(ID_VIEW_STATUS_BAR, "状态栏(&S)", &CMainFrame::OnViewStatusBar));
    pView->addAction(AddCommand(ID_VIEW_TASK_LIST, "任务列表(&L)", &CMainFrame::OnViewTaskList));
    QMenu* pHelp = menuBar()->addMenu("帮助(&H)");
    pHelp->addAction(AddCommand(ID_HELP_FINDER, "在线帮助(&H)", &CMainFrame::OnHelp));
    pHelp->addAction(AddCommand(ID_APP_ABOUT, "版本信息(&V)", &CMainFrame::OnAbout));

    for (int nId : { ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_VIEW_TASK_LIST }) {
        m_mapActions[nId]->setCheckable(true);
        m_mapActions[nId]->setChecked(true);
    }
    m_mapActions[ID_NEW_TASK]->setIcon(pStyle->standardIcon(QStyle::SP_FileIcon));
    m_mapActions[ID_DELETE_TASK]->setIcon(pStyle->standardIcon(QStyle::SP_TrashIcon));
    m_mapActions[ID_START_TASK]->setIcon(pStyle->standardIcon(QStyle::SP_MediaPlay));
    m_mapActions[ID_STOP_TASK]->setIcon(pStyle->standardIcon(QStyle::SP_MediaStop));
    m_mapActions[ID_RUN_NOW]->setIcon(pStyle->standardIcon(QStyle::SP_MediaSeekForward));
    m_mapActions[ID_TASK_PROPERTIES]->setIcon(pStyle->standardIcon(QStyle::SP_FileDialogDetailedView));
    m_mapActions[ID_CONFIG]->setIcon(pStyle->standardIcon(QStyle::SP_ComputerIcon));
    m_mapActions[ID_APP_ABOUT]->setIcon(pStyle->standardIcon(QStyle::SP_MessageBoxInformation));

    m_pToolBar = addToolBar("工具栏");
    m_pToolBar->setObjectName("128");
    m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_pToolBar->setIconSize(QSize(16, 16));
    for (int nId : std::initializer_list<int>{ ID_NEW_TASK, ID_DELETE_TASK, ID_TASK_PROPERTIES, -1, ID_START_TASK, ID_STOP_TASK, ID_RUN_NOW, -1,
                     ID_CONFIG, ID_APP_ABOUT }) {
        if (nId < 0)
            m_pToolBar->addSeparator();
        else
            m_pToolBar->addAction(m_mapActions[nId]);
    }
    connect(m_pToolBar, &QToolBar::visibilityChanged, this,
            [this](bool bVisible) { m_mapActions[ID_VIEW_TOOLBAR]->setChecked(bVisible); });

    m_pStatusLabel = new QLabel(this);
    m_pStatusLabel->setObjectName("statusText");
    statusBar()->addWidget(m_pStatusLabel, 1);
    statusBar()->setSizeGripEnabled(true);

    connect(m_pTaskView, &CTaskView::StateChanged, this, &CMainFrame::UpdateCommands);
    // The next pass's time and the running state move by themselves.
    m_statusTimer.setInterval(1000);
    connect(&m_statusTimer, &QTimer::timeout, this, &CMainFrame::UpdateCommands);
    m_statusTimer.start();
    m_closeTimer.setInterval(100);
    connect(&m_closeTimer, &QTimer::timeout, this, &CMainFrame::OnCloseTick);
    UpdateCommands();
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::AddCommand(int nId, const QString& strText, void (CMainFrame::*pfnSlot)())
{
    auto* pAction = new QAction(strText, this);
    pAction->setObjectName(QString::number(nId));
    pAction->setData(nId);
    connect(pAction, &QAction::triggered, this, pfnSlot);
    m_mapActions.insert(nId, pAction);
    return pAction;
}

void CMainFrame::UpdateCommands()
{
    CTaskWnd* pWnd = m_pTaskView->GetSelectedTask();
    const bool bSelected = pWnd != nullptr;
    const bool bRunning = bSelected && pWnd->IsRunning();
    m_mapActions[ID_DELETE_TASK]->setEnabled(bSelected && !bRunning);
    m_mapActions[ID_TASK_PROPERTIES]->setEnabled(bSelected && !bRunning);
    m_mapActions[ID_START_TASK]->setEnabled(bSelected && !bRunning);
    m_mapActions[ID_STOP_TASK]->setEnabled(bRunning);
    m_mapActions[ID_RUN_NOW]->setEnabled(bRunning);
    m_mapActions[ID_NEW_TASK]->setEnabled(!m_bClosing);
    m_mapActions[ID_VIEW_TASK_LIST]->setChecked(m_pTaskView->IsTaskListVisible());

    QString strStatus;
    if (m_bClosing) {
        strStatus = "正在停止全部任务…";
    } else if (bSelected) {
        strStatus = pWnd->GetLastPassText();
        if (bRunning && pWnd->GetNextPass().isValid())
            strStatus += QString(strStatus.isEmpty() ? "" : "    ") + "下次运行：" + pWnd->GetNextPass().toString("HH:mm:ss");
        else if (bRunning)
            strStatus += QString(strStatus.isEmpty() ? "" : "    ") + "正在运行";
    }
    if (strStatus.isEmpty())
        strStatus = "就绪";
    m_pStatusLabel->setText(strStatus);
}

void CMainFrame::BringToFront()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void CMainFrame::closeEvent(QCloseEvent* pEvent)
{
    if (m_bClosed || !m_pTaskView->AnyTaskRunning()) {
        m_bClosed = true;
        m_closeTimer.stop();
        pEvent->accept();
        emit Closed();
        return;
    }
    // Ask every task to end and come back every 100 ms; the window keeps
    // painting and the tasks' last reports arrive meanwhile.
    pEvent->ignore();
    m_bClosing = true;
    m_pTaskView->StopAllTasks();
    UpdateCommands();
    if (!m_closeTimer.isActive())
        m_closeTimer.start();
}

void CMainFrame::OnCloseTick()
{
    m_pTaskView->StopAllTasks();
    if (m_pTaskView->AnyTaskRunning())
        return;
    m_closeTimer.stop();
    m_bClosed = true;
    close();
}

void CMainFrame::OnConfig()
{
    CConfigDialog dialog(m_context, this);
    dialog.exec();
}

void CMainFrame::OnExit()
{
    close();
}

void CMainFrame::OnNewTask()
{
    m_pTaskView->NewTask();
}

void CMainFrame::OnDeleteTask()
{
    m_pTaskView->DeleteTask();
}

void CMainFrame::OnStartTask()
{
    m_pTaskView->StartTask();
}

void CMainFrame::OnStopTask()
{
    m_pTaskView->StopTask();
}

void CMainFrame::OnTaskProperties()
{
    m_pTaskView->TaskProperties();
}

void CMainFrame::OnRunNow()
{
    m_pTaskView->RunTaskNow();
}

void CMainFrame::OnViewToolbar()
{
    m_pToolBar->setVisible(m_pToolBar->isHidden());
}

void CMainFrame::OnViewStatusBar()
{
    statusBar()->setVisible(statusBar()->isHidden());
    m_mapActions[ID_VIEW_STATUS_BAR]->setChecked(!statusBar()->isHidden());
}

void CMainFrame::OnViewTaskList()
{
    m_pTaskView->ToggleTaskList();
}

void CMainFrame::OnHelp()
{
    QDesktopServices::openUrl(QUrl(ToQString(m_context.HelpUrl())));
}

void CMainFrame::OnAbout()
{
    QDialog dialog(this);
    dialog.setObjectName("100");
    dialog.setWindowTitle("关于 Quarvex");
    auto* pIcon = new QLabel(&dialog);
    pIcon->setPixmap(QPixmap(":/quarvex/quarvex.png").scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    auto* pText = new QLabel("Quarvex 1.0 版", &dialog);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    pButtons->button(QDialogButtonBox::Ok)->setText("确定");
    connect(pButtons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    auto* pRow = new QHBoxLayout;
    pRow->addWidget(pIcon);
    pRow->addSpacing(12);
    pRow->addWidget(pText, 1);
    auto* pLayout = new QVBoxLayout(&dialog);
    pLayout->addLayout(pRow);
    pLayout->addWidget(pButtons);
    dialog.exec();
}

} // namespace quarvex
