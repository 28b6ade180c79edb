// AppTestSupport.h - what the desktop application's tests share: a store on
// loopback, a page server, task texts, and a driver that answers modal
// windows the way a user would.
#pragma once

#include "AppContext.h"
#include "RawServer.h"
#include "TempDir.h"
#include "server/StoreServer.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace quarvex_test {

// A task definition whose page is strUrl, with a table of rows read as two
// columns, "标题" (the key) and "日期".
std::string TaskText(const std::string& strName, const std::string& strUrl, int nPeriod, bool bAutoLoad);

// A store on 127.0.0.1 with cheap password hashing and the users given.
class CTestStore {
public:
    CTestStore();
    quarvex::CStoreServer& Server() { return *m_pServer; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_pServer->GetPort()); }
    void AddUser(const std::string& strName, const std::string& strPassword);
    // Stores a task for the user; its id.
    std::string AddTask(const std::string& strName, const std::string& strPassword, const std::string& strText);
    std::string AddExample(const std::string& strText);

private:
    CTempDir m_dir;
    std::unique_ptr<quarvex::CStoreServer> m_pServer;
};

// Serves "/page" as a table of Rows() rows; "/hold" is read and never
// answered, until the server stops.
class CPageServer {
public:
    CPageServer();
    std::string Url(const char* pszPath) const { return m_server.GetUrl(pszPath); }
    std::atomic<int> m_nRows{ 3 };
    // Moves every row's date by this many days (a changed record).
    std::atomic<int> m_nDateShift{ 0 };
    CRawServer& Raw() { return m_server; }

private:
    CRawServer m_server;
};

// Works through a script of steps against the modal window on top, one step
// per modal window; a step returns false while the window is not the one it
// waits for. Actions are queued, so a step never runs inside a nested loop.
class CModalDriver : public QObject {
public:
    using Step = std::function<bool(QWidget*)>;
    explicit CModalDriver(std::deque<Step> aSteps);
    bool Done() const { return m_aSteps.empty(); }

private:
    void Tick();
    std::deque<Step> m_aSteps;
    QTimer m_timer;
    QPointer<QWidget> m_pLastHandled;
};

// Step: a message box; its text goes to *pText, then the button is clicked.
CModalDriver::Step AnswerBox(QString* pText, QMessageBox::StandardButton button = QMessageBox::Ok);

// Writes a Config.dat into strDir.
void WriteConfig(const std::string& strDir, const std::string& strServer, bool bSaveName, bool bSavePassword,
                 const std::string& strName = std::string(), const std::string& strPassword = std::string(),
                 const std::vector<std::string>& aExampleIds = {});

std::string ReadFile(const std::string& strPath);

} // namespace quarvex_test
