// Application.cpp - the start-up sequence.
#include "Application.h"

#include "LoginDlg.h"
#include "MainFrame.h"
#include "QtText.h"
#include "SplashWnd.h"
#include "StoreCall.h"
#include "TaskView.h"

#include <QMessageBox>

namespace quarvex {

CQuarvexApp::CQuarvexApp(std::string strProgramDir)
    : m_context(std::move(strProgramDir))
{
}

CQuarvexApp::~CQuarvexApp()
{
    // The frame's task windows go before the store they were loaded from.
    m_pFrame.reset();
}

bool CQuarvexApp::Start(bool bLoginAtOnce)
{
    std::string strError;
    if (!m_context.Prepare(strError)) {
        QMessageBox::critical(nullptr, APP_TITLE, QString("无法启动本机任务库：%1").arg(ToQString(strError)));
        return false;
    }

    CLoginDlg login(m_context);
    const CSettings& settings = m_context.m_settings;
    if (settings.GetSaveUserName())
        login.SetUserName(settings.GetUserName());
    if (settings.GetSavePassword())
        login.SetPassword(settings.GetPassword());
    bool bLoggedIn = false;
    if (bLoginAtOnce && settings.GetSaveUserName() && settings.GetSavePassword()) {
        const std::string strName = settings.GetUserName();
        const std::string strPassword = settings.GetPassword();
        StoreLogin result = StoreLogin::NETWORK;
        RunOffGuiThread([&] { result = m_context.m_store.Login(strName, strPassword); });
        bLoggedIn = result == StoreLogin::OK;
        if (bLoggedIn)
            m_context.m_strUserName = strName;
    }
    if (!bLoggedIn && login.exec() != QDialog::Accepted)
        return false;

    CSplashWnd splash;
    splash.ShowCentred();
    if (!m_context.RememberLogin(login.GetUserName(), login.GetPassword()))
        QMessageBox::warning(&splash, APP_TITLE,
                             QString("无法写入配置文件 %1！").arg(ToQString(m_context.GetConfigPath())));
    RunOffGuiThread([this] { m_context.LoadExamples(); });

    m_pFrame = std::make_unique<CMainFrame>(m_context);
    m_pFrame->GetTaskView()->LoadTasks();
    m_pFrame->show();
    splash.close();
    return true;
}

} // namespace quarvex
