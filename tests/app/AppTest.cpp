// AppTest.cpp - the desktop application driven as a user would, offscreen,
// against a real store and a page server on loopback.
#include "AppTestSupport.h"

#include "Application.h"
#include "ConfigDialog.h"
#include "DataModel.h"
#include "Export.h"
#include "LoginDlg.h"
#include "MainFrame.h"
#include "SingleInstance.h"
#include "TaskLeases.h"
#include "TaskView.h"
#include "TaskWnd.h"
#include "markup/Settings.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QCheckBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QTreeWidget>

#include <httplib.h>

#include <thread>

using namespace quarvex;
using namespace quarvex_test;

namespace {

constexpr char USER[] = "alice";
constexpr char PASSWORD[] = "alice pw";

// Step: the login dialog; types the name and password and presses "登录".
CModalDriver::Step TypeLogin(const QString& strName, const QString& strPassword, QString* pPresetName = nullptr)
{
    return [strName, strPassword, pPresetName](QWidget* pModal) {
        auto* pLogin = qobject_cast<CLoginDlg*>(pModal);
        if (pLogin == nullptr)
            return false;
        if (pPresetName != nullptr)
            *pPresetName = pLogin->m_pName->text();
        QMetaObject::invokeMethod(pLogin, [pLogin, strName, strPassword] {
            pLogin->m_pName->clear();
            QTest::keyClicks(pLogin->m_pName, strName);
            pLogin->m_pPassword->clear();
            QTest::keyClicks(pLogin->m_pPassword, strPassword);
            QTest::mouseClick(pLogin->m_pOk, Qt::LeftButton);
        }, Qt::QueuedConnection);
        return true;
    };
}

CModalDriver::Step CancelLogin()
{
    return [](QWidget* pModal) {
        auto* pLogin = qobject_cast<CLoginDlg*>(pModal);
        if (pLogin == nullptr)
            return false;
        QMetaObject::invokeMethod(pLogin, [pLogin] { QTest::mouseClick(pLogin->m_pCancel, Qt::LeftButton); },
                                  Qt::QueuedConnection);
        return true;
    };
}

// Step: the markup text dialog of "新建任务"; replaces the text and confirms.
CModalDriver::Step EnterDefinition(const std::string& strText)
{
    return [strText](QWidget* pModal) {
        auto* pEdit = pModal->findChild<QPlainTextEdit*>("definitionText");
        if (pEdit == nullptr)
            return false;
        QMetaObject::invokeMethod(pModal, [pModal, pEdit, strText] {
            pEdit->setPlainText(QString::fromStdString(strText));
            for (QPushButton* pButton : pModal->findChildren<QPushButton*>()) {
                if (pButton->text() == "确  定")
                    pButton->click();
            }
        }, Qt::QueuedConnection);
        return true;
    };
}

// A main window logged in to the store as alice, with her tasks loaded.
// Over strHome when given (a restart: a new frame over the same program
// directory), else over a directory of its own; bKeepRecords false writes
// keeprecords "0".
struct CSession {
    std::unique_ptr<CTempDir> pOwnHome;
    std::string strHome;
    CAppContext context;
    std::unique_ptr<CMainFrame> pFrame;

    explicit CSession(CTestStore& store, const std::string& strSharedHome = std::string(), bool bKeepRecords = true,
                      int nLeaseSeconds = DEFAULT_LEASE_SECONDS, const std::string& strAddress = std::string())
        : pOwnHome(strSharedHome.empty() ? std::make_unique<CTempDir>() : nullptr)
        , strHome(strSharedHome.empty() ? pOwnHome->GetPath() : strSharedHome)
        , context(strHome)
    {
        WriteConfig(strHome, strAddress.empty() ? store.Address() : strAddress, true, false);
        if (!bKeepRecords) {
            CSettings settings;
            settings.Load(strHome + "/" + CONFIG_FILE_NAME);
            settings.SetGeneralKey("keeprecords", "0");
            settings.Save(strHome + "/" + CONFIG_FILE_NAME);
        }
        std::string strError;
        if (!context.Prepare(strError) || context.m_store.Login(USER, PASSWORD) != StoreLogin::OK)
            qFatal("session: cannot log in");
        context.m_strUserName = USER;
        context.m_nLeaseSeconds = nLeaseSeconds;
        pFrame = std::make_unique<CMainFrame>(context);
        pFrame->show();
        pFrame->GetTaskView()->LoadTasks();
    }
    CTaskView& View() { return *pFrame->GetTaskView(); }
    bool Enabled(int nId) { return pFrame->GetAction(nId)->isEnabled(); }
};

// TaskText with more keys in its general section (changes, gone).
std::string RecordTaskText(const std::string& strName, const std::string& strUrl, bool bAutoLoad,
                           const std::string& strGeneralKeys)
{
    std::string strText = TaskText(strName, strUrl, 60, bAutoLoad);
    strText.insert(strText.find("\t</general>"), strGeneralKeys);
    return strText;
}

void StopAndWait(CTaskWnd* pWnd)
{
    pWnd->StopTask();
    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 3000);
}

} // namespace

class CAppTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_pStore = std::make_unique<CTestStore>();
        m_pStore->AddUser(USER, PASSWORD);
    }
    void cleanup() { m_pStore.reset(); }

    void loginRefusedThenAcceptedRewritesConfig();
    void loginWithoutSaveNameEmptiesStoredName();
    void loginAsExampleLoadsNoChosenExamples();
    void storeThatNeverAnswersFailsWithNetworkMessage();
    void embeddedStoreOffersToCreateAccount();
    void failedPassIsShownInTheTree();
    void twentyTasksShowSixteen();
    void deletedSlotIsReused();
    void newTaskRefusedWhenSlotsAreFull();
    void propertiesStoreAndReloadTheTask();
    void startStopEnabling();
    void periodZeroTaskNeverStartsByItself();
    void autoloadTaskStartsOnceAndShowsRows();
    void stopDuringPageWaitEndsWithinASecond();
    void closingWithRunningTasksCompletes();
    void configDialogListsAndOk();
    void secondInstanceBringsFirstForward();
    void exportWritesWhatTheListShows();
    void logKeepsTheNewestLines();
    void exportQuotesAndEscapes();
    void keptRowsSurviveARestart();
    void changedAndGoneRowsAreMarked();
    void resetEmptiesTheKeptRecords();
    void taskLeasedElsewhereIsNotStarted();
    void lostLeaseStopsTheTask();
    void olderStoreRunsTasksWithoutLeases();

private:
    std::unique_ptr<CTestStore> m_pStore;
};

void CAppTest::loginRefusedThenAcceptedRewritesConfig()
{
    CTempDir home;
    WriteConfig(home.GetPath(), m_pStore->Address(), true, true, "old name", "old pw");
    const std::string strConfigPath = home.GetPath() + "/Config.dat";
    const std::string strBefore = ReadFile(strConfigPath);

    // A wrong password is refused with the message, and Config.dat stays.
    {
        QString strMessage;
        CModalDriver driver({ TypeLogin(USER, "wrong"), AnswerBox(&strMessage), CancelLogin() });
        CQuarvexApp app(home.GetPath());
        QVERIFY(!app.Start());
        QCOMPARE(strMessage, QString(STORE_MSG_LOGIN_REFUSED));
        QVERIFY(driver.Done());
        QCOMPARE(ReadFile(strConfigPath), strBefore);
    }
    // The login dialog is preset from the file; the right password logs in
    // and the remembered name and password are written back.
    {
        QString strPresetName;
        CModalDriver login({ TypeLogin(USER, PASSWORD, &strPresetName) });
        CQuarvexApp app(home.GetPath());
        QVERIFY(app.Start());
        QCOMPARE(strPresetName, QString("old name"));
        QVERIFY(app.GetFrame()->isVisible());
        CSettings settings;
        QVERIFY(settings.Load(strConfigPath));
        QCOMPARE(settings.GetUserName(), std::string(USER));
        QCOMPARE(settings.GetPassword(), std::string(PASSWORD));
    }
}

void CAppTest::loginWithoutSaveNameEmptiesStoredName()
{
    CTempDir home;
    WriteConfig(home.GetPath(), m_pStore->Address(), false, false, "stale", "stale pw");
    CModalDriver driver({ TypeLogin(USER, PASSWORD) });
    CQuarvexApp app(home.GetPath());
    QVERIFY(app.Start());
    CSettings settings;
    QVERIFY(settings.Load(home.GetPath() + "/Config.dat"));
    QCOMPARE(settings.GetUserName(), std::string());
    QCOMPARE(settings.GetPassword(), std::string());
}

void CAppTest::loginAsExampleLoadsNoChosenExamples()
{
    CPageServer pages;
    const std::string strExample = m_pStore->AddExample(TaskText("示例", pages.Url("/page"), 60, false));
    QCOMPARE(ChooseExamples("Example", { strExample }, { { strExample, "示例" } }), std::vector<std::string>());
    // Kept by id: an unknown id is dropped, a repeated one counted once.
    const std::vector<StoreExample> aExamples = { { "B", "same" }, { "A", "same" } };
    QCOMPARE(ChooseExamples(USER, { "A", "gone", "A", "B" }, aExamples), (std::vector<std::string>{ "A", "B" }));

    // The chosen example is loaded beside the user's own tasks.
    CTempDir home;
    WriteConfig(home.GetPath(), m_pStore->Address(), false, false, "", "", { strExample });
    CModalDriver driver({ TypeLogin(USER, PASSWORD) });
    CQuarvexApp app(home.GetPath());
    QVERIFY(app.Start());
    QCOMPARE(app.GetFrame()->GetTaskView()->GetTaskCount(), 1);
    QCOMPARE(app.GetFrame()->GetTaskView()->GetTaskWnd(0)->GetTaskName(), QString("示例"));
}

void CAppTest::storeThatNeverAnswersFailsWithNetworkMessage()
{
    CRawServer silent([](CRawConnection& connection) {
        connection.ReadRequest();
        connection.WaitForStop();
    });
    CTempDir home;
    WriteConfig(home.GetPath(), "127.0.0.1:" + std::to_string(silent.GetPort()), false, false);
    CAppContext context(home.GetPath());
    std::string strError;
    QVERIFY(context.Prepare(strError));
    context.m_store.SetCallLimit(300);
    CLoginDlg login(context);
    QString strMessage;
    CModalDriver driver({ TypeLogin(USER, PASSWORD), AnswerBox(&strMessage), CancelLogin() });
    // The window keeps painting meanwhile: a timer on the GUI thread ticks.
    int nTicks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++nTicks; });
    ticker.start(20);
    QCOMPARE(login.exec(), int(QDialog::Rejected));
    QCOMPARE(strMessage, QString(STORE_MSG_NETWORK));
    QVERIFY(nTicks >= 5);
}

void CAppTest::embeddedStoreOffersToCreateAccount()
{
    // No server in Config.dat: the store runs inside the application, its
    // database in the program directory.
    CTempDir home;
    WriteConfig(home.GetPath(), "", true, true);
    QString strQuestion;
    CModalDriver driver({ TypeLogin("newcomer", "her pw"), AnswerBox(&strQuestion, QMessageBox::Yes) });
    CQuarvexApp app(home.GetPath());
    QVERIFY(app.Start());
    QVERIFY(app.GetContext().IsEmbedded());
    QVERIFY(strQuestion.contains("newcomer"));
    QVERIFY(QFile::exists(QString::fromStdString(home.GetPath() + "/" + EMBEDDED_STORE_FILE)));
    QCOMPARE(app.GetContext().m_strUserName, std::string("newcomer"));
    CSettings settings;
    QVERIFY(settings.Load(home.GetPath() + "/Config.dat"));
    QCOMPARE(settings.GetUserName(), std::string("newcomer"));

    // Declining the offer keeps the dialog open with the refusal.
    CTempDir other;
    WriteConfig(other.GetPath(), "", false, false);
    QString strRefusal;
    CModalDriver declined({ TypeLogin("stranger", "pw"), AnswerBox(nullptr, QMessageBox::No), AnswerBox(&strRefusal),
                            CancelLogin() });
    CQuarvexApp app2(other.GetPath());
    QVERIFY(!app2.Start());
    QCOMPARE(strRefusal, QString(STORE_MSG_LOGIN_REFUSED));
}

void CAppTest::failedPassIsShownInTheTree()
{
    // A page server that is gone: the pass fails and the item says so.
    int nClosedPort = 0;
    {
        CRawServer gone([](CRawConnection&) {});
        nClosedPort = gone.GetPort();
    }
    m_pStore->AddTask(USER, PASSWORD, TaskText("坏", "http://127.0.0.1:" + std::to_string(nClosedPort) + "/", 60, true));
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->LastPassFailed(), 5000);
    const QImage failed = session.View().GetTree()->topLevelItem(0)->icon(0).pixmap(16, 16).toImage();
    session.pFrame->GetAction(CMainFrame::ID_STOP_TASK)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 3000);
    QCOMPARE(session.View().GetTree()->topLevelItem(0)->icon(0).pixmap(16, 16).toImage(), failed);
    QVERIFY(pWnd->GetLogView()->toPlainText().contains("无法从"));
}

void CAppTest::twentyTasksShowSixteen()
{
    CPageServer pages;
    for (int i = 0; i < 20; ++i)
        m_pStore->AddTask(USER, PASSWORD, TaskText("任务" + std::to_string(i), pages.Url("/page"), 60, false));
    CSession session(*m_pStore);
    QCOMPARE(session.View().GetTree()->topLevelItemCount(), 16);
    QCOMPARE(session.View().GetSlotsUsed(), 16);
    QVERIFY(!session.View().HasFreeSlot());
    QCOMPARE(session.View().SelectedSlot(), 0);
}

void CAppTest::deletedSlotIsReused()
{
    CPageServer pages;
    for (int i = 1; i <= 5; ++i)
        m_pStore->AddTask(USER, PASSWORD, TaskText("任务" + std::to_string(i), pages.Url("/page"), 60, false));
    CSession session(*m_pStore);
    CTaskView& view = session.View();
    QCOMPARE(view.GetTaskCount(), 5);

    view.SelectSlot(3);
    QString strQuestion;
    {
        CModalDriver driver({ AnswerBox(&strQuestion, QMessageBox::Yes) });
        session.pFrame->GetAction(CMainFrame::ID_DELETE_TASK)->trigger();
        QVERIFY(driver.Done());
    }
    QCOMPARE(strQuestion, QString("真的要删除任务 任务4 吗？"));
    QCOMPARE(view.GetTaskCount(), 4);
    QVERIFY(view.GetTaskWnd(3) == nullptr);

    {
        CModalDriver driver({ EnterDefinition(TaskText("新任务", pages.Url("/page"), 60, false)) });
        session.pFrame->GetAction(CMainFrame::ID_NEW_TASK)->trigger();
        QVERIFY(driver.Done());
    }
    QVERIFY(view.GetTaskWnd(3) != nullptr);
    QCOMPARE(view.GetTaskWnd(3)->objectName(), QString("1004"));
    QCOMPARE(view.GetTaskWnd(3)->GetTaskName(), QString("新任务"));
    QCOMPARE(view.GetSlotsUsed(), 5);

    // The store holds what the window shows.
    std::vector<std::string> aIds;
    QVERIFY(session.context.m_store.ListTasks(aIds));
    QCOMPARE(aIds.size(), std::size_t(5));
}

void CAppTest::newTaskRefusedWhenSlotsAreFull()
{
    CPageServer pages;
    for (int i = 0; i < 16; ++i)
        m_pStore->AddTask(USER, PASSWORD, TaskText("任务" + std::to_string(i), pages.Url("/page"), 60, false));
    CSession session(*m_pStore);
    QString strMessage;
    CModalDriver driver({ AnswerBox(&strMessage) });
    session.pFrame->GetAction(CMainFrame::ID_NEW_TASK)->trigger();
    QVERIFY(strMessage.contains("16"));
    std::vector<std::string> aIds;
    QVERIFY(session.context.m_store.ListTasks(aIds));
    QCOMPARE(aIds.size(), std::size_t(16));
}

void CAppTest::propertiesStoreAndReloadTheTask()
{
    CPageServer pages;
    const std::string strId = m_pStore->AddTask(USER, PASSWORD, TaskText("旧名", pages.Url("/page"), 60, false));
    CSession session(*m_pStore);
    CTaskView& view = session.View();
    {
        CModalDriver driver({ EnterDefinition(TaskText("新名", pages.Url("/page"), 30, false)) });
        const QPoint itemCentre = view.GetTree()->visualItemRect(view.GetTree()->topLevelItem(0)).center();
        QTest::mouseClick(view.GetTree()->viewport(), Qt::LeftButton, Qt::NoModifier, itemCentre);
        QTest::mouseDClick(view.GetTree()->viewport(), Qt::LeftButton, Qt::NoModifier, itemCentre);
        QVERIFY(driver.Done());
    }
    QCOMPARE(view.GetTree()->topLevelItem(0)->text(0), QString("新名"));
    QCOMPARE(view.GetTaskWnd(0)->GetTaskName(), QString("新名"));
    QCOMPARE(view.GetTaskWnd(0)->GetTask().GetPeriod(), 30);
    QCOMPARE(view.GetTaskWnd(0)->GetTaskId(), strId);
    const auto stored = session.context.m_store.LoadTask(strId, session.context.m_store.GetToken());
    QVERIFY(stored.has_value());
    QCOMPARE(TaskNameOf(*stored), std::string("新名"));

    // A running task's properties do not open.
    view.GetTaskWnd(0)->StartTask();
    CModalDriver untouched({ EnterDefinition(TaskText("不该", pages.Url("/page"), 30, false)) });
    session.pFrame->GetAction(CMainFrame::ID_TASK_PROPERTIES)->trigger();
    QTest::qWait(200);
    QVERIFY(!untouched.Done());
    QCOMPARE(view.GetTaskWnd(0)->GetTaskName(), QString("新名"));
    view.GetTaskWnd(0)->StopTask();
    QTRY_VERIFY_WITH_TIMEOUT(!view.GetTaskWnd(0)->IsRunning(), 3000);
}

void CAppTest::startStopEnabling()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("甲", pages.Url("/page"), 60, false));
    m_pStore->AddTask(USER, PASSWORD, TaskText("乙", pages.Url("/page"), 0, false));
    CSession session(*m_pStore);
    QVERIFY(session.Enabled(CMainFrame::ID_NEW_TASK));
    QVERIFY(session.Enabled(CMainFrame::ID_START_TASK));
    QVERIFY(session.Enabled(CMainFrame::ID_DELETE_TASK));
    QVERIFY(session.Enabled(CMainFrame::ID_TASK_PROPERTIES));
    QVERIFY(!session.Enabled(CMainFrame::ID_STOP_TASK));

    session.pFrame->GetAction(CMainFrame::ID_START_TASK)->trigger();
    QVERIFY(session.View().GetTaskWnd(0)->IsRunning());
    QVERIFY(!session.Enabled(CMainFrame::ID_START_TASK));
    QVERIFY(!session.Enabled(CMainFrame::ID_DELETE_TASK));
    QVERIFY(!session.Enabled(CMainFrame::ID_TASK_PROPERTIES));
    QVERIFY(session.Enabled(CMainFrame::ID_STOP_TASK));
    QVERIFY(session.Enabled(CMainFrame::ID_RUN_NOW));

    // The other task is stopped: selecting it follows its state.
    session.View().SelectSlot(1);
    QVERIFY(session.Enabled(CMainFrame::ID_START_TASK));
    QVERIFY(!session.Enabled(CMainFrame::ID_STOP_TASK));
    // A period of 0 runs (every second) and stays stoppable.
    session.pFrame->GetAction(CMainFrame::ID_START_TASK)->trigger();
    QVERIFY(session.Enabled(CMainFrame::ID_STOP_TASK));
    session.pFrame->GetAction(CMainFrame::ID_STOP_TASK)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!session.View().GetTaskWnd(1)->IsRunning(), 3000);

    session.View().SelectSlot(0);
    session.pFrame->GetAction(CMainFrame::ID_STOP_TASK)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(session.Enabled(CMainFrame::ID_START_TASK), 3000);
    QVERIFY(!session.Enabled(CMainFrame::ID_STOP_TASK));
}

void CAppTest::periodZeroTaskNeverStartsByItself()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("零", pages.Url("/page"), 0, true));
    CSession session(*m_pStore);
    QTest::qWait(300);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QVERIFY(pWnd != nullptr);
    QVERIFY(!pWnd->IsRunning());
    QCOMPARE(pages.Raw().GetConnectionCount(), 0);
    QCOMPARE(pWnd->GetActivityWnd()->m_pCountdown->value(), 0);
}

void CAppTest::autoloadTaskStartsOnceAndShowsRows()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("自动", pages.Url("/page"), 60, true));
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QVERIFY(pWnd->IsRunning());
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetModel()->rowCount(), 3, 5000);
    QCOMPARE(pWnd->GetModel()->columnCount(), 2);
    QCOMPARE(pWnd->GetModel()->headerData(0, Qt::Horizontal).toString(), QString("标题"));
    QCOMPARE(pWnd->GetModel()->index(2, 0).data().toString(), QString("记录 3"));
    QCOMPARE(pWnd->GetDataList()->columnWidth(0), 100);
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLogView()->toPlainText().contains("成功摘取到3条记录"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLastPassText().contains("成功摘取到3条记录"), 5000);
    // One start, one pass: the page was asked for once.
    QCOMPARE(pages.Raw().GetRequests().size(), std::size_t(1));

    // "立即运行" runs a pass at once; two new rows arrive.
    pages.m_nRows = 5;
    session.pFrame->GetAction(CMainFrame::ID_RUN_NOW)->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetModel()->rowCount(), 5, 5000);
    session.pFrame->GetAction(CMainFrame::ID_STOP_TASK)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 3000);
}

void CAppTest::stopDuringPageWaitEndsWithinASecond()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("等待", pages.Url("/hold"), 60, true));
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QTRY_VERIFY_WITH_TIMEOUT(pages.Raw().GetRequests().size() == 1, 5000);
    session.pFrame->GetAction(CMainFrame::ID_STOP_TASK)->trigger();
    // The engine promises a second; the rest is slack for a loaded machine.
    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 1500);
}

void CAppTest::closingWithRunningTasksCompletes()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("一", pages.Url("/hold"), 60, true));
    m_pStore->AddTask(USER, PASSWORD, TaskText("二", pages.Url("/page"), 1, true));
    CSession session(*m_pStore);
    QTRY_VERIFY_WITH_TIMEOUT(pages.Raw().GetRequests().size() >= 2, 5000);
    QSignalSpy closed(session.pFrame.get(), &CMainFrame::Closed);
    session.pFrame->close();
    // Not at once: the tasks are asked to stop and the frame polls.
    QVERIFY(session.pFrame->isVisible());
    QVERIFY(closed.wait(3000));
    QVERIFY(!session.pFrame->isVisible());
    QVERIFY(!session.View().AnyTaskRunning());
}

void CAppTest::configDialogListsAndOk()
{
    CTempDir home;
    CAppContext context(home.GetPath());
    // Two examples share a name, one differs only in case, one has none.
    context.m_aExamples = { { "id-a", "Alpha" }, { "id-b", "alpha" }, { "id-c", "Same" }, { "id-d", "Same" },
                            { "id-e", "" } };
    WriteConfig(home.GetPath(), "", true, false, "", "", { "id-c", "id-gone", "id-a" });
    const std::string strPath = home.GetPath() + "/Config.dat";

    auto ids = [&] {
        CSettings settings;
        settings.Load(strPath);
        return settings.GetExampleTaskIds();
    };
    {
        CConfigDialog dialog(context);
        dialog.show();
        QVERIFY(dialog.m_pSaveUserName->isChecked());
        QVERIFY(!dialog.m_pSavePassword->isChecked());
        QCOMPARE(dialog.m_pChosen->count(), 2);
        QCOMPARE(dialog.m_pAvailable->count(), 3);
        // The lists keep themselves sorted.
        QCOMPARE(dialog.m_pChosen->item(0)->text(), QString("Alpha"));
        QCOMPARE(dialog.m_pChosen->item(1)->text(), QString("Same"));

        // ">" without a selection does nothing; ">>" moves everything.
        dialog.m_pAvailable->clearSelection();
        QTest::mouseClick(dialog.findChild<QPushButton*>("1021"), Qt::LeftButton);
        QCOMPARE(dialog.m_pChosen->count(), 2);
        QTest::mouseClick(dialog.findChild<QPushButton*>("1022"), Qt::LeftButton);
        QCOMPARE(dialog.m_pChosen->count(), 5);
        QCOMPARE(dialog.m_pAvailable->count(), 0);
        dialog.m_pSavePassword->setChecked(true);
        dialog.m_pHostConnections->setText("4");
        dialog.m_pProxy->setText(" http://proxy.corp:3128 ");
        QVERIFY2(dialog.m_pKeepRecords->isChecked(), "records are kept unless the file says \"0\"");
        dialog.m_pKeepRecords->setChecked(false);

        QString strMessage;
        CModalDriver driver({ AnswerBox(&strMessage) });
        dialog.accept();
        QCOMPARE(strMessage, QString("参数已更改。要使新的参数生效，请重新启动Quarvex！"));
    }
    std::vector<std::string> aIds = ids();
    std::sort(aIds.begin(), aIds.end());
    QCOMPARE(aIds, (std::vector<std::string>{ "id-a", "id-b", "id-c", "id-d", "id-e" }));
    {
        CSettings settings;
        settings.Load(strPath);
        QVERIFY(settings.GetSavePassword());
        QCOMPARE(settings.GetGeneralKey("hostconnections"), std::string("4"));
        QCOMPARE(settings.GetGeneralKey("hostinterval"), std::string());
        QCOMPARE(settings.GetGeneralKey("proxy"), std::string("http://proxy.corp:3128"));
        QCOMPARE(settings.GetGeneralKey("keeprecords"), std::string("0"));
    }
    {
        // "<" moves the selected entry back; "<<" the rest; then no taskid.
        CConfigDialog dialog(context);
        dialog.show();
        dialog.m_pChosen->setCurrentRow(0);
        QTest::mouseClick(dialog.findChild<QPushButton*>("1023"), Qt::LeftButton);
        QCOMPARE(dialog.m_pAvailable->count(), 1);
        QTest::mouseClick(dialog.findChild<QPushButton*>("1024"), Qt::LeftButton);
        QCOMPARE(dialog.m_pAvailable->count(), 5);
        QVERIFY(!dialog.m_pKeepRecords->isChecked());
        dialog.m_pKeepRecords->setChecked(true);
        CModalDriver driver({ AnswerBox(nullptr) });
        dialog.accept();
    }
    QCOMPARE(ids(), std::vector<std::string>());
    {
        CSettings settings;
        settings.Load(strPath);
        QCOMPARE(settings.GetGeneralKey("keeprecords"), std::string("1"));
    }

    // A file that cannot be written is reported, never announced as changed.
    {
        CAppContext badContext(home.GetPath() + "/no/such/dir");
        CConfigDialog dialog(badContext);
        QString strMessage;
        CModalDriver driver({ AnswerBox(&strMessage) });
        dialog.accept();
        QVERIFY(strMessage.startsWith("无法写入配置文件"));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
}

void CAppTest::secondInstanceBringsFirstForward()
{
    const QString strKey = QString("quarvex-test-%1").arg(QCoreApplication::applicationPid());
    CSingleInstance first(strKey);
    QVERIFY(!first.SignalRunningCopy());
    QSignalSpy activated(&first, &CSingleInstance::Activated);

    CTestStore& store = *m_pStore;
    CSession session(store);
    connect(&first, &CSingleInstance::Activated, session.pFrame.get(), &CMainFrame::BringToFront);
    session.pFrame->showMinimized();
    QTRY_VERIFY(session.pFrame->isMinimized());

    CSingleInstance second(strKey);
    QVERIFY(second.SignalRunningCopy());
    QVERIFY(activated.wait(3000));
    QTRY_VERIFY(!session.pFrame->isMinimized());
    QVERIFY(session.pFrame->isVisible());
}

void CAppTest::exportWritesWhatTheListShows()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("导出", pages.Url("/page"), 60, true));
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetModel()->rowCount(), 3, 5000);

    CTempDir out;
    QString strError;
    const QString strCsv = QString::fromStdString(out.GetPath() + "/rows.csv");
    QVERIFY2(pWnd->ExportTo(strCsv, strError), qPrintable(strError));
    std::string strExpected = "\xEF\xBB\xBF标题,日期\r\n";
    for (int nRow = 0; nRow < pWnd->GetModel()->rowCount(); ++nRow)
        strExpected += (pWnd->GetModel()->index(nRow, 0).data().toString() + "," +
                        pWnd->GetModel()->index(nRow, 1).data().toString() + "\r\n").toStdString();
    QCOMPARE(ReadFile(strCsv.toStdString()), strExpected);

    const QString strJson = QString::fromStdString(out.GetPath() + "/rows.jsonl");
    QVERIFY(pWnd->ExportTo(strJson, strError));
    // From the task's record file: each record with its state and times.
    const std::string strLines = ReadFile(strJson.toStdString());
    QVERIFY2(strLines.rfind("{\"标题\":\"记录 1\",\"日期\":\"2026-12-01\",\"state\":\"kept\",\"first_seen\":", 0) == 0,
             strLines.c_str());
    QCOMPARE(std::count(strLines.begin(), strLines.end(), '\n'), std::ptrdiff_t(3));

    QVERIFY(!pWnd->ExportTo(QString::fromStdString(out.GetPath() + "/no/dir/x.csv"), strError));
    QVERIFY(!strError.isEmpty());
    session.pFrame->GetAction(CMainFrame::ID_STOP_TASK)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 3000);
}

void CAppTest::logKeepsTheNewestLines()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("日志", pages.Url("/page"), 60, true));
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLastPassText().contains("成功摘取到"), 5000);
    pWnd->StopTask();
    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 3000);
    // A week of passes, in short: the view keeps the newest lines only.
    const int nLines = CTaskWnd::MAX_LOG_LINES + 2500;
    for (int i = 0; i < nLines; ++i)
        pWnd->GetTask().Log("line " + std::to_string(i));
    QVERIFY(pWnd->GetTask().WaitNotified(10000));
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetLogView()->document()->lastBlock().text().endsWith(
                                  QString("line %1").arg(nLines - 1)), true, 5000);
    QVERIFY(pWnd->GetLogView()->document()->blockCount() <= CTaskWnd::MAX_LOG_LINES);
    QVERIFY(pWnd->GetLogView()->document()->firstBlock().text().endsWith(
        QString("line %1").arg(nLines - CTaskWnd::MAX_LOG_LINES)));
}

void CAppTest::exportQuotesAndEscapes()
{
    QCOMPARE(CsvField("plain"), std::string("plain"));
    QCOMPARE(CsvField("a,b"), std::string("\"a,b\""));
    QCOMPARE(CsvField("say \"hi\""), std::string("\"say \"\"hi\"\"\""));
    QCOMPARE(CsvField("two\r\nlines"), std::string("\"two\r\nlines\""));
    QCOMPARE(CsvField(" padded"), std::string("\" padded\""));
    QCOMPARE(JsonQuote("a\"b\\c\n\t\x01"), std::string("\"a\\\"b\\\\c\\n\\t\\u0001\""));
    QCOMPARE(JsonQuote("中文"), std::string("\"中文\""));
    // Bytes that are not UTF-8 (a GBK page) cannot spoil the file.
    QCOMPARE(JsonQuote("\xD6\xD0x"), std::string("\"\\ufffd\\ufffdx\""));
    QCOMPARE(JsonQuote("\xE4\xB8"), std::string("\"\\ufffd\\ufffd\""));
    QVERIFY(ExportFormatOf("a.JSONL") == ExportFormat::JSON_LINES);
    QVERIFY(ExportFormatOf("a.csv") == ExportFormat::CSV);
    QVERIFY(ExportFormatOf("noext") == ExportFormat::CSV);
}

void CAppTest::keptRowsSurviveARestart()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("保存", pages.Url("/page"), 60, false));
    CTempDir home;
    {
        CSession session(*m_pStore, home.GetPath());
        CTaskWnd* pWnd = session.View().GetTaskWnd(0);
        QVERIFY(!pWnd->GetTask().GetRecordStateFile().empty());
        QCOMPARE(pWnd->GetModel()->rowCount(), 0);
        QVERIFY(pWnd->StartTask());
        QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLastPassText().contains("成功摘取到3条记录。其中有3条新记录"), 5000);
        StopAndWait(pWnd);
    }
    {
        // A new frame over the same program directory shows the kept rows
        // before any pass, and a pass over the same page adds none.
        CSession session(*m_pStore, home.GetPath());
        CTaskWnd* pWnd = session.View().GetTaskWnd(0);
        QCOMPARE(pWnd->GetModel()->rowCount(), 3);
        QCOMPARE(pWnd->GetModel()->index(2, 0).data().toString(), QString("记录 3"));
        QVERIFY(pWnd->StartTask());
        QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLastPassText().contains("成功摘取到3条记录。其中有0条新记录"), 5000);
        QCOMPARE(pWnd->GetModel()->rowCount(), 3);

        // Export reads the kept records.
        CTempDir out;
        QString strError;
        const std::string strCsv = out.GetPath() + "/kept.csv";
        QVERIFY2(pWnd->ExportTo(QString::fromStdString(strCsv), strError), qPrintable(strError));
        const std::string strText = ReadFile(strCsv);
        QVERIFY2(strText.rfind("\xEF\xBB\xBF", 0) == 0, strText.c_str());
        for (const char* pszRow : { "记录 1", "记录 2", "记录 3" })
            QVERIFY2(strText.find(pszRow) != std::string::npos, strText.c_str());
        StopAndWait(pWnd);
    }
    {
        // keeprecords "0": rows live in memory only, as they did.
        CSession session(*m_pStore, home.GetPath(), false);
        CTaskWnd* pWnd = session.View().GetTaskWnd(0);
        QVERIFY(pWnd->GetTask().GetRecordStateFile().empty());
        QCOMPARE(pWnd->GetModel()->rowCount(), 0);
    }
}

void CAppTest::changedAndGoneRowsAreMarked()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, RecordTaskText("变化", pages.Url("/page"), true,
                                                     "\t\t<changes>1</changes>\r\n\t\t<gone>1</gone>\r\n"));
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    CDataModel* pModel = pWnd->GetModel();
    QTRY_COMPARE_WITH_TIMEOUT(pModel->rowCount(), 3, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLastPassText().contains("成功摘取到3条记录"), 5000);
    QVERIFY(!pModel->index(0, 0).data(Qt::BackgroundRole).isValid());

    // Every date moves by a day and the third record leaves the page.
    pages.m_nDateShift = 1;
    pages.m_nRows = 2;
    pWnd->RunNow();
    const auto background = [&](int nRow) { return pModel->index(nRow, 1).data(Qt::BackgroundRole).value<QColor>(); };
    const auto foreground = [&](int nRow) { return pModel->index(nRow, 0).data(Qt::ForegroundRole).value<QColor>(); };
    QTRY_COMPARE_WITH_TIMEOUT(foreground(2), CDataModel::GoneForeground(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(background(0), CDataModel::ChangedBackground(), 5000);
    QCOMPARE(background(1), CDataModel::ChangedBackground());
    QCOMPARE(pModel->index(0, 1).data().toString(), QString("2026-12-02"));
    QVERIFY(pModel->index(0, 0).data(Qt::ToolTipRole).toString().contains("已变化"));
    QVERIFY(pModel->index(2, 0).data(Qt::ToolTipRole).toString().contains("消失"));
    QCOMPARE(pModel->index(2, 1).data().toString(), QString("2026-12-03"));
    QVERIFY(!pModel->index(2, 0).data(Qt::BackgroundRole).isValid());
    QCOMPARE(pModel->rowCount(), 3);

    // Back on the page: an ordinary kept row again, not a new one.
    pages.m_nRows = 3;
    pWnd->RunNow();
    QTRY_VERIFY_WITH_TIMEOUT(!pModel->index(2, 0).data(Qt::ForegroundRole).isValid(), 5000);
    QCOMPARE(pModel->rowCount(), 3);
    StopAndWait(pWnd);
}

void CAppTest::resetEmptiesTheKeptRecords()
{
    CPageServer pages;
    m_pStore->AddTask(USER, PASSWORD, TaskText("清空", pages.Url("/page"), 60, false));
    CTempDir home;
    {
        CSession session(*m_pStore, home.GetPath());
        CTaskWnd* pWnd = session.View().GetTaskWnd(0);
        QVERIFY(pWnd->StartTask());
        QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetModel()->rowCount(), 3, 5000);
        QString strError;
        QVERIFY(!pWnd->ResetRecords(strError));
        QVERIFY2(strError.contains("正在运行"), qPrintable(strError));
        StopAndWait(pWnd);

        // "否" keeps them; "是" empties the list and the kept records.
        QString strAsked;
        {
            CModalDriver driver({ AnswerBox(&strAsked, QMessageBox::No) });
            QMetaObject::invokeMethod(pWnd, "OnResetRecords");
            QVERIFY(driver.Done());
        }
        QVERIFY2(strAsked.contains("清空任务 清空 已保存的记录"), qPrintable(strAsked));
        QCOMPARE(pWnd->GetModel()->rowCount(), 3);
        {
            CModalDriver driver({ AnswerBox(nullptr, QMessageBox::Yes) });
            QMetaObject::invokeMethod(pWnd, "OnResetRecords");
            QVERIFY(driver.Done());
        }
        QCOMPARE(pWnd->GetModel()->rowCount(), 0);
    }
    {
        // After a restart nothing is kept: the page's records are new again.
        CSession session(*m_pStore, home.GetPath());
        CTaskWnd* pWnd = session.View().GetTaskWnd(0);
        QCOMPARE(pWnd->GetModel()->rowCount(), 0);
        QVERIFY(pWnd->StartTask());
        QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLastPassText().contains("其中有3条新记录"), 5000);
        StopAndWait(pWnd);
    }
}

void CAppTest::taskLeasedElsewhereIsNotStarted()
{
    CPageServer pages;
    const std::string strId = m_pStore->AddTask(USER, PASSWORD, TaskText("租约", pages.Url("/page"), 60, true));
    CStoreClient runner(m_pStore->Address());
    QVERIFY(runner.Login(USER, PASSWORD) == StoreLogin::OK);
    const std::optional<StoreLease> held = runner.LeaseTask("runner:test", strId, 60);
    QVERIFY(held.has_value());

    // Leased by a runner: the autoload task is shown as running elsewhere
    // and asks for no page.
    CSession session(*m_pStore);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QVERIFY(!pWnd->IsRunning());
    QVERIFY(pWnd->IsRunningElsewhere());
    QCOMPARE(session.View().GetTree()->topLevelItem(0)->text(0), QString("租约（正在其他位置运行）"));
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLogView()->toPlainText().contains("任务正在其他位置运行"), 3000);
    session.pFrame->GetAction(CMainFrame::ID_START_TASK)->trigger();
    QVERIFY(!pWnd->IsRunning());
    QCOMPARE(pages.Raw().GetConnectionCount(), 0);

    // Given back by the runner, it starts here under a lease of its own,
    // which the runner cannot take while the task runs.
    QVERIFY(runner.ReleaseLease("runner:test", *held));
    session.pFrame->GetAction(CMainFrame::ID_START_TASK)->trigger();
    QVERIFY(pWnd->IsRunning());
    QVERIFY(!pWnd->IsRunningElsewhere());
    QCOMPARE(session.View().GetTree()->topLevelItem(0)->text(0), QString("租约"));
    QVERIFY(session.View().GetLeases()->Holds(strId));
    QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetModel()->rowCount(), 3, 5000);
    QVERIFY(!runner.LeaseTask("runner:test", strId, 60).has_value());

    // Stopping gives it back.
    StopAndWait(pWnd);
    QTRY_VERIFY_WITH_TIMEOUT(runner.LeaseTask("runner:test", strId, 60).has_value(), 3000);
}

void CAppTest::lostLeaseStopsTheTask()
{
    CPageServer pages;
    const std::string strId = m_pStore->AddTask(USER, PASSWORD, TaskText("失去", pages.Url("/page"), 60, true));
    // A lease of 3 s, renewed every second.
    CSession session(*m_pStore, std::string(), true, 3);
    CTaskWnd* pWnd = session.View().GetTaskWnd(0);
    QVERIFY(pWnd->IsRunning());
    CTaskLeases* pLeases = session.View().GetLeases();
    QVERIFY(pLeases->Holds(strId));
    // Renewals keep it: after two lease lengths it is still held here.
    QTest::qWait(6500);
    QVERIFY(pWnd->IsRunning());
    QVERIFY(pLeases->Holds(strId));

    // The store hands the task to a runner (as after a lease ran out).
    CStoreClient runner(m_pStore->Address());
    QVERIFY(runner.Login(USER, PASSWORD) == StoreLogin::OK);
    const std::optional<StoreLease> mine = runner.LeaseTask(pLeases->GetHolder(), strId, 3);
    QVERIFY(mine.has_value());
    QVERIFY(runner.ReleaseLease(pLeases->GetHolder(), *mine));
    QVERIFY(runner.LeaseTask("runner:test", strId, 60).has_value());

    QTRY_VERIFY_WITH_TIMEOUT(!pWnd->IsRunning(), 5000);
    QVERIFY(pWnd->IsRunningElsewhere());
    QVERIFY(!pLeases->Holds(strId));
    QTRY_VERIFY_WITH_TIMEOUT(pWnd->GetLogView()->toPlainText().contains("运行权已被其他位置取得"), 3000);
    QVERIFY(session.View().GetTree()->topLevelItem(0)->text(0).contains("正在其他位置运行"));
}

void CAppTest::olderStoreRunsTasksWithoutLeases()
{
    // A store from before leases: every request but the lease ones is
    // passed to the real store; those are unknown paths (404).
    CPageServer pages;
    const std::string strId = m_pStore->AddTask(USER, PASSWORD, TaskText("旧库", pages.Url("/page"), 60, true));
    std::atomic<int> nLeaseAsked{ 0 };
    httplib::Server older;
    const std::string strStore = m_pStore->Address();
    older.Post(R"(/qx/(\w+)\.asp)", [&](const httplib::Request& req, httplib::Response& res) {
        const std::string strName = req.matches[1];
        if (strName == "lease" || strName == "renew" || strName == "release" || strName == "taskver") {
            ++nLeaseAsked;
            res.status = 404;
            return;
        }
        httplib::Client store("http://" + strStore);
        const httplib::Result answer = store.Post(req.path, req.body, "application/x-www-form-urlencoded");
        if (!answer) {
            res.status = 502;
            return;
        }
        res.status = answer->status;
        res.set_content(answer->body, "text/plain");
    });
    const int nPort = older.bind_to_any_port("127.0.0.1");
    QVERIFY(nPort > 0);
    std::thread serving([&] { older.listen_after_bind(); });
    QTRY_VERIFY(older.is_running());

    {
        CSession session(*m_pStore, std::string(), true, 3, "127.0.0.1:" + std::to_string(nPort));
        CTaskWnd* pWnd = session.View().GetTaskWnd(0);
        QVERIFY(pWnd->IsRunning());
        QVERIFY(!pWnd->IsRunningElsewhere());
        QVERIFY(nLeaseAsked.load() >= 1);
        QTRY_COMPARE_WITH_TIMEOUT(pWnd->GetModel()->rowCount(), 3, 5000);
        StopAndWait(pWnd);
        QVERIFY(pWnd->StartTask());
        StopAndWait(pWnd);
    }
    older.stop();
    serving.join();
    Q_UNUSED(strId);
}

QTEST_MAIN(CAppTest)
#include "AppTest.moc"
