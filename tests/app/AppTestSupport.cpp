// AppTestSupport.cpp - fixtures of the desktop application's tests.
#include "AppTestSupport.h"

#include "markup/Settings.h"
#include "store/StoreClient.h"

#include <QAbstractButton>

#include <sodium.h>

#include <fstream>
#include <sstream>

namespace quarvex_test {

std::string TaskText(const std::string& strName, const std::string& strUrl, int nPeriod, bool bAutoLoad)
{
    return "<root>\r\n\t<general>\r\n\t\t<taskname>" + strName + "</taskname>\r\n\t\t<frequence>" +
           std::to_string(nPeriod) + "</frequence>\r\n\t\t<autoload>" + (bAutoLoad ? "1" : "0") +
           "</autoload>\r\n\t</general>\r\n\t<network>\r\n\t\t<url>" + strUrl +
           "</url>\r\n\t\t<refurl></refurl>\r\n\t\t<method>0</method>\r\n\t\t<webpost>0</webpost>\r\n\t</network>\r\n"
           "\t<database>\r\n\t\t<type>0</type>\r\n\t\t<savetodb>0</savetodb>\r\n\t</database>\r\n"
           "\t<location>\r\n\t\t<name>行</name>\r\n\t\t<path>html@body@table@tr#tr</path>\r\n\t\t<step>#tr</step>\r\n"
           "\t\t<data>\r\n\t\t\t<type>0</type>\r\n\t\t\t<name>标题</name>\r\n\t\t\t<path>@td</path>\r\n"
           "\t\t\t<order>1</order>\r\n\t\t\t<only>1</only>\r\n\t\t</data>\r\n"
           "\t\t<data>\r\n\t\t\t<type>0</type>\r\n\t\t\t<name>日期</name>\r\n\t\t\t<path>@td#td</path>\r\n"
           "\t\t\t<order>2</order>\r\n\t\t\t<only>0</only>\r\n\t\t</data>\r\n\t</location>\r\n</root>\r\n";
}

CTestStore::CTestStore()
{
    quarvex::StoreOptions options;
    options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    m_pServer = std::make_unique<quarvex::CStoreServer>(options);
    std::string strError;
    if (!m_pServer->Open(m_dir.GetPath() + "/store.db", strError) ||
        !m_pServer->Start("127.0.0.1", 0, strError, 8))
        qFatal("store: %s", strError.c_str());
}

void CTestStore::AddUser(const std::string& strName, const std::string& strPassword)
{
    std::string strError;
    if (!m_pServer->GetService().AddUser(strName, strPassword, strError))
        qFatal("adduser: %s", strError.c_str());
}

std::string CTestStore::AddTask(const std::string& strName, const std::string& strPassword, const std::string& strText)
{
    quarvex::CStoreClient client(Address());
    if (client.Login(strName, strPassword) != quarvex::StoreLogin::OK)
        qFatal("login failed");
    const auto id = client.AddTask(strText);
    if (!id)
        qFatal("add task failed");
    return *id;
}

std::string CTestStore::AddExample(const std::string& strText)
{
    const auto id = m_pServer->GetService().AddExample(strText);
    if (!id)
        qFatal("add example failed");
    return *id;
}

CPageServer::CPageServer()
    : m_server([this](CRawConnection& connection) {
        for (;;) {
            const std::string strRequest = connection.ReadRequest();
            if (strRequest.empty())
                return;
            if (strRequest.find(" /hold") != std::string::npos) {
                connection.WaitForStop();
                return;
            }
            std::string strBody = "<html><body><table><tr><th>标题</th><th>日期</th></tr>";
            for (int i = 1; i <= m_nRows.load(); ++i)
                strBody += "<tr><td>记录 " + std::to_string(i) + "</td><td>2026-12-0" + std::to_string((i + m_nDateShift.load()) % 10) + "</td></tr>";
            strBody += "</table></body></html>";
            if (!connection.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                 std::to_string(strBody.size()) + "\r\n\r\n" + strBody))
                return;
        }
    })
{
}

CModalDriver::CModalDriver(std::deque<Step> aSteps)
    : m_aSteps(std::move(aSteps))
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &CModalDriver::Tick);
    m_timer.start();
}

void CModalDriver::Tick()
{
    if (m_aSteps.empty()) {
        m_timer.stop();
        return;
    }
    QWidget* pModal = QApplication::activeModalWidget();
    if (pModal == nullptr || pModal == m_pLastHandled || !pModal->isVisible())
        return;
    if (m_aSteps.front()(pModal)) {
        m_pLastHandled = pModal;
        m_aSteps.pop_front();
    }
}

CModalDriver::Step AnswerBox(QString* pText, QMessageBox::StandardButton button)
{
    return [pText, button](QWidget* pModal) {
        auto* pBox = qobject_cast<QMessageBox*>(pModal);
        if (pBox == nullptr)
            return false;
        if (pText != nullptr)
            *pText = pBox->text();
        QAbstractButton* pButton = pBox->button(button);
        if (pButton == nullptr)
            return false;
        QMetaObject::invokeMethod(pButton, &QAbstractButton::click, Qt::QueuedConnection);
        return true;
    };
}

void WriteConfig(const std::string& strDir, const std::string& strServer, bool bSaveName, bool bSavePassword,
                 const std::string& strName, const std::string& strPassword,
                 const std::vector<std::string>& aExampleIds)
{
    quarvex::CSettings settings;
    settings.SetServer(strServer);
    settings.SetSaveUserName(bSaveName);
    settings.SetSavePassword(bSavePassword);
    settings.SetUserName(strName);
    settings.SetPassword(strPassword);
    settings.SetExampleTaskIds(aExampleIds);
    if (!settings.Save(strDir + "/" + quarvex::CONFIG_FILE_NAME))
        qFatal("cannot write Config.dat");
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace quarvex_test
