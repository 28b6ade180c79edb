// PickerBrowserTest.cpp - the picker against a real page view: pages served on
// loopback, the drag driven with QTest mouse events from a picker icon onto
// the page, the path checked against our parse of the same page.
#include "BrowserPicker.h"
#include "BrowserWnd.h"
#include "PathCheckJob.h"

#include "editor/TaskInfoSheet.h"
#include "engine/ExtractOnce.h"
#include "markup/MarkupDoc.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <map>
#include <memory>

using namespace quarvex;

namespace {

const char* const s_pszTable =
    "<html><head><title>rows</title><style>td{padding:12px 30px;font-size:20px}</style></head><body>\n"
    "<table border=1>\n"
    "<tr><td>a1</td><td>a2</td></tr>\n"
    "<tr><td>b1</td><td>b2</td></tr>\n"
    "<tr><td>c1</td><td>c2</td></tr>\n"
    "</table></body></html>";

const char* const s_pszTbody =
    "<html><body><table border=1><tbody>\n"
    "<tr><td style='padding:12px 30px'>x1</td></tr>\n"
    "<tr><td style='padding:12px 30px'>x2</td></tr>\n"
    "</tbody></table></body></html>";

const char* const s_pszScript =
    "<html><body><p id=p1 style='font-size:20px'>from the page text</p>\n"
    "<script>var d = document.createElement('div'); d.id = 'made';"
    "d.style.cssText = 'font-size:20px;padding:10px';"
    "d.textContent = 'made by a script'; document.body.appendChild(d);</script>\n"
    "</body></html>";

// A script puts a banner before the div: the browser's path to it is not
// the page text's.
const char* const s_pszShifted =
    "<html><body><div id=kept style='font-size:20px;padding:10px'>kept text</div>\n"
    "<script>var b = document.createElement('div'); b.textContent = 'banner';"
    "document.body.insertBefore(b, document.body.firstChild);</script>\n"
    "</body></html>";

// Serves fixed pages on 127.0.0.1; "/never" is accepted and never answered.
class CPageServer : public QObject {
public:
    CPageServer()
    {
        m_pages["/table"] = s_pszTable;
        m_pages["/tbody"] = s_pszTbody;
        m_pages["/script"] = s_pszScript;
        m_pages["/shifted"] = s_pszShifted;
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* pSocket = m_server.nextPendingConnection()) {
                QObject::connect(pSocket, &QTcpSocket::readyRead, pSocket, [this, pSocket] { Answer(pSocket); });
                QObject::connect(pSocket, &QTcpSocket::disconnected, pSocket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString Url(const char* pszPath) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(QLatin1String(pszPath));
    }

private:
    void Answer(QTcpSocket* pSocket)
    {
        QByteArray& request = m_requests[pSocket];
        request += pSocket->readAll();
        if (request.size() > 65536)
            pSocket->abort();
        if (!request.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
        m_requests.erase(pSocket);
        const std::string strPath = words.size() > 1 ? words[1].toStdString() : "";
        if (strPath == "/never")
            return;
        const auto it = m_pages.find(strPath);
        const QByteArray body = it != m_pages.end() ? QByteArray(it->second) : QByteArray("not here");
        pSocket->write(QByteArray(it != m_pages.end() ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
                       + "Content-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: "
                       + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        pSocket->disconnectFromHost();
    }

    QTcpServer m_server;
    std::map<std::string, const char*> m_pages;
    std::map<QTcpSocket*, QByteArray> m_requests;
};

// The real node dialog with the browser picker behind it; the texts its
// fields show during a drag are recorded.
struct CHostDialog {
    CBrowserPicker m_picker;
    std::unique_ptr<CNodeDialog> m_pDialog;
    QLabel* m_pNodeIcon = nullptr;
    QLabel* m_pSiblingIcon = nullptr;
    QPlainTextEdit* m_pNodeField = nullptr;
    QPlainTextEdit* m_pSiblingField = nullptr;
    int m_nChecked = 0;
    QStringList m_aTexts;

    CHostDialog() { QObject::connect(&m_picker, &CBrowserPicker::checked, [this] { ++m_nChecked; }); }
    // A new dialog of nType; a path makes it an edit-mode dialog.
    void Open(int nType, const char* pszPath = "")
    {
        SNodeFields fields;
        fields.nType = nType;
        fields.strPath = pszPath;
        m_pDialog = std::make_unique<CNodeDialog>(nullptr, fields);
        m_pDialog->move(0, 520);  // beside the browser, not over it
        m_pDialog->show();
        m_pNodeIcon = m_pDialog->GetNodePickerIcon();
        m_pSiblingIcon = m_pDialog->GetSiblingPickerIcon();
        m_pNodeField = m_pDialog->findChild<QPlainTextEdit*>(QStringLiteral("path"));
        m_pSiblingField = m_pDialog->findChild<QPlainTextEdit*>(QStringLiteral("sibling"));
        for (QPlainTextEdit* pField : {m_pNodeField, m_pSiblingField})
            QObject::connect(pField, &QPlainTextEdit::textChanged, [this, pField] { m_aTexts.push_back(pField->toPlainText()); });
    }
    bool IsDragging() const { return QWidget::mouseGrabber() == m_pDialog.get(); }
    // Whether a press on pIcon starts a drag; one that starts is ended at once.
    bool Press(QLabel* pIcon)
    {
        QTest::mousePress(pIcon, Qt::LeftButton, {}, QPoint(5, 5));
        const bool bStarted = IsDragging();
        if (bStarted)
            QTest::mouseRelease(m_pDialog.get(), Qt::LeftButton, {}, QPoint(5, 5));
        return bStarted;
    }
};

class PickerBrowserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pServer = new CPageServer;
        s_pBrowser = new CBrowserWnd;
        s_pBrowser->setGeometry(400, 0, 700, 500);
        s_pBrowser->show();
    }
    static void TearDownTestSuite()
    {
        delete s_pBrowser;
        delete s_pServer;
    }
    void SetUp() override
    {
        m_host.m_picker.SetBrowser(s_pBrowser);
        CNodeDialog::SetPicker(&m_host.m_picker);
        m_host.Open(NODE_TEXT);
        s_pBrowser->GetView()->setZoomFactor(1.0);
    }
    void TearDown() override { CNodeDialog::SetPicker(nullptr); }

    static bool Load(const char* pszPath)
    {
        QSignalSpy spy(s_pBrowser, &CBrowserWnd::pageLoaded);
        s_pBrowser->Open(s_pServer->Url(pszPath));
        return spy.wait(10000) && spy.front().front().toBool();
    }
    // Runs a script in the page and returns its value.
    static QVariant Eval(const QString& strScript)
    {
        QVariant result;
        bool bDone = false;
        s_pBrowser->GetView()->page()->runJavaScript(strScript, QWebEngineScript::ApplicationWorld,
                                                     [&](const QVariant& v) { result = v; bDone = true; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return bDone; }, 5000)) << strScript.toStdString();
        return result;
    }
    // Centre of the element a selector names, in the view's widget coordinates.
    static QPoint CentreOf(const char* pszSelector)
    {
        const QVariantList box = Eval(QStringLiteral("(function(){var r=document.querySelector('%1')"
                                                     ".getBoundingClientRect();return [r.left+r.width/2, r.top+r.height/2];})()")
                                          .arg(QLatin1String(pszSelector))).toList();
        const double dZoom = s_pBrowser->GetView()->zoomFactor();
        return box.size() == 2 ? QPoint(int(box[0].toDouble() * dZoom), int(box[1].toDouble() * dZoom)) : QPoint();
    }
    static QWidget* Page() { return s_pBrowser->GetView()->focusProxy(); }
    // While the dialog holds the capture, every mouse event comes to it, with
    // positions in its own coordinates, wherever the cursor is.
    QPoint OnIcon(QWidget*, QPoint posInPage) const
    {
        return m_host.m_pDialog->mapFromGlobal(Page()->mapToGlobal(posInPage));
    }

    // Presses on pIcon, moves onto pos in the page and waits for the tag.
    void DragTo(QLabel* pIcon, QPlainTextEdit* pField, QPoint pos, const char* pszTag)
    {
        QTest::mousePress(pIcon, Qt::LeftButton, {}, QPoint(5, 5));
        ASSERT_TRUE(m_host.IsDragging());
        QTest::mouseMove(m_host.m_pDialog.get(), m_host.m_pDialog->mapFromGlobal(pIcon->mapToGlobal(QPoint(40, 5))));
        QTest::mouseMove(m_host.m_pDialog.get(), OnIcon(pIcon, pos));
        EXPECT_TRUE(QTest::qWaitFor([&] { return pField->toPlainText() == QLatin1String(pszTag); }, 5000))
            << pField->toPlainText().toStdString();
    }
    void ReleaseAndWait(QWidget*, QPoint pos)
    {
        QTest::mouseRelease(m_host.m_pDialog.get(), Qt::LeftButton, {}, pos);
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return !m_host.m_pNodeField->toPlainText().startsWith(QStringLiteral("正在获取"))
                   && !m_host.m_pSiblingField->toPlainText().startsWith(QStringLiteral("正在获取"));
        }, 5000));
        // Neither the capture nor the cursor outlives the drag.
        EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
    const SCheckOutcome& WaitCheck(int nChecked)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return m_host.m_nChecked == nChecked; }, 15000));
        return m_host.m_picker.GetOutcome();
    }

    static CPageServer* s_pServer;
    static CBrowserWnd* s_pBrowser;
    CHostDialog m_host;
};

CPageServer* PickerBrowserTest::s_pServer = nullptr;
CBrowserWnd* PickerBrowserTest::s_pBrowser = nullptr;

} // namespace

TEST_F(PickerBrowserTest, DragOntoSecondCellOfThirdRow)
{
    ASSERT_TRUE(Load("/table"));
    const QPoint pos = CentreOf("tr:nth-child(3) td:nth-child(2)");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "TD");
    EXPECT_TRUE(m_host.m_aTexts.contains(QStringLiteral("正在捕捉浏览器窗口...")));
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::CrossCursor);
    // The element under the cursor is outlined while the drag goes on.
    EXPECT_TRUE(QTest::qWaitFor([] {
        return Eval(QStringLiteral("(function(){var b=document.getElementById('__quarvex_pick_outline__');"
                                   "return b?b.style.display:'';})()")).toString() == QLatin1String("block");
    }, 5000));

    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    EXPECT_TRUE(m_host.m_aTexts.contains(QStringLiteral("正在获取节点路径...")));
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QStringLiteral("html@body@table@tr#tr#tr@td#td"));
    const SCheckOutcome& outcome = WaitCheck(1);
    EXPECT_TRUE(outcome.bFetched) << outcome.strError;
    EXPECT_EQ(outcome.check.nResult, CHECK_FOUND);
    EXPECT_EQ(outcome.check.strPath, "html@body@table@tr#tr#tr@td#td");
    EXPECT_EQ(outcome.check.strValue, "c2");
    // The outline goes with the drag.
    EXPECT_TRUE(QTest::qWaitFor([] {
        return !Eval(QStringLiteral("!!document.getElementById('__quarvex_pick_outline__')")).toBool();
    }, 5000));
}

TEST_F(PickerBrowserTest, ZoomedPageGivesTheSameCell)
{
    ASSERT_TRUE(Load("/table"));
    s_pBrowser->GetView()->setZoomFactor(1.5);
    EXPECT_TRUE(QTest::qWaitFor([] { return Eval(QStringLiteral("window.devicePixelRatio")).toDouble() == 1.5; }, 5000));
    const QPoint pos = CentreOf("tr:nth-child(2) td:nth-child(1)");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "TD");
    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QStringLiteral("html@body@table@tr#tr@td"));
}

TEST_F(PickerBrowserTest, BlockAndSiblingPicks)
{
    ASSERT_TRUE(Load("/table"));
    // The sibling icon answers only with the block type chosen.
    EXPECT_FALSE(m_host.Press(m_host.m_pSiblingIcon));
    m_host.Open(NODE_BLOCK);
    QPoint pos = CentreOf("tr:nth-child(1) td:nth-child(1)");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "TD");
    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    pos = CentreOf("tr:nth-child(2) td:nth-child(1)");
    DragTo(m_host.m_pSiblingIcon, m_host.m_pSiblingField, pos, "TD");
    ReleaseAndWait(m_host.m_pSiblingIcon, OnIcon(m_host.m_pSiblingIcon, pos));
    EXPECT_TRUE(m_host.m_aTexts.contains(QStringLiteral("正在获取兄弟节点路径...")));
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QStringLiteral("html@body@table@tr@td"));
    EXPECT_EQ(m_host.m_pSiblingField->toPlainText(), QStringLiteral("html@body@table@tr#tr@td"));

    // In edit mode neither icon starts a drag.
    m_host.Open(NODE_BLOCK, "html@body@table@tr");
    EXPECT_FALSE(m_host.Press(m_host.m_pNodeIcon));
    EXPECT_FALSE(m_host.Press(m_host.m_pSiblingIcon));
}

TEST_F(PickerBrowserTest, ExplicitTbodyStaysAndResolves)
{
    ASSERT_TRUE(Load("/tbody"));
    const QPoint pos = CentreOf("tr:nth-child(2) td");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "TD");
    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    const SCheckOutcome& outcome = WaitCheck(1);
    EXPECT_EQ(outcome.check.nResult, CHECK_FOUND);
    EXPECT_EQ(outcome.check.strPath, "html@body@table@tbody@tr#tr@td");
    EXPECT_EQ(outcome.check.strValue, "x2");
}

TEST_F(PickerBrowserTest, ScriptMadeElementIsNotInThePageText)
{
    ASSERT_TRUE(Load("/script"));
    QPoint pos = CentreOf("#made");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "DIV");
    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QStringLiteral("html@body@div"));
    EXPECT_EQ(WaitCheck(1).check.nResult, CHECK_NOT_IN_PAGE);

    pos = CentreOf("#p1");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "P");
    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    EXPECT_EQ(WaitCheck(2).check.nResult, CHECK_FOUND);
}

TEST_F(PickerBrowserTest, DragAwayFromTheBrowserEmptiesTheField)
{
    ASSERT_TRUE(Load("/table"));
    QTest::mousePress(m_host.m_pNodeIcon, Qt::LeftButton, {}, QPoint(5, 5));
    const QPoint away = m_host.m_pDialog->mapFromGlobal(m_host.m_pNodeIcon->mapToGlobal(QPoint(40, 40)));
    QTest::mouseMove(m_host.m_pDialog.get(), away);
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QStringLiteral("正在捕捉浏览器窗口..."));
    ReleaseAndWait(m_host.m_pNodeIcon, away);
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QString());
}

TEST_F(PickerBrowserTest, WatchdogEndsADragWhoseCaptureWasTaken)
{
    ASSERT_TRUE(Load("/table"));
    const QPoint pos = CentreOf("td");
    DragTo(m_host.m_pNodeIcon, m_host.m_pNodeField, pos, "TD");
    m_host.m_pDialog->releaseMouse();  // as when another window takes the capture
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::overrideCursor() == nullptr; }, 3000));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QStringLiteral("TD"));  // what the last move wrote
    QTest::qWait(300);
    EXPECT_EQ(m_host.m_nChecked, 0);
}

TEST_F(PickerBrowserTest, CheckReadsThePageTheTaskRequests)
{
    // The task asks for /tbody while the view shows /table: the check reads
    // the task's page. The server answers on this thread, so the fetch runs
    // in the job's thread while this one waits.
    CMarkupDoc def;
    def.Parse(("<root>\r\n\t<network>\r\n\t\t<url>" + s_pServer->Url("/tbody").toStdString()
               + "</url>\r\n\t\t<method>0</method>\r\n\t</network>\r\n</root>\r\n").c_str());
    CPathCheckJob job;
    int nChecked = 0;
    QObject::connect(&job, &CPathCheckJob::checked, [&] { ++nChecked; });
    SPickedElement picked;
    picked.strPath = "html@body@table@tbody@tr@td";
    picked.strTag = "td";
    picked.strText = "x1";
    job.Start(FetchAsTask(def, s_pServer->Url("/table").toStdString()), picked, 1, "");
    ASSERT_TRUE(QTest::qWaitFor([&] { return nChecked == 1; }, 15000));
    EXPECT_TRUE(job.GetOutcome().bFetched) << job.GetOutcome().strError;
    EXPECT_EQ(job.GetOutcome().check.nResult, CHECK_FOUND);
    EXPECT_EQ(job.GetOutcome().check.strPath, "html@body@table@tbody@tr@td");

    // A task without an address of its own yet reads the view's address.
    CMarkupDoc bare;
    bare.Parse("<root>\r\n\t<network>\r\n\t\t<url></url>\r\n\t</network>\r\n</root>\r\n");
    picked.strText = "a1";
    job.Start(FetchAsTask(bare, s_pServer->Url("/table").toStdString()), picked, 1, "");
    ASSERT_TRUE(QTest::qWaitFor([&] { return nChecked == 2; }, 15000));
    EXPECT_EQ(job.GetOutcome().check.nResult, CHECK_FOUND);
    EXPECT_EQ(job.GetOutcome().check.strPath, "html@body@table@tr@td");
    EXPECT_EQ(job.GetOutcome().check.strValue, "a1");
}

TEST_F(PickerBrowserTest, NodeDialogPicksThroughTheBrowserAndChecksThePath)
{
    ASSERT_TRUE(Load("/tbody"));
    CBrowserPicker picker;
    picker.SetBrowser(s_pBrowser);
    CNodeDialog::SetPicker(&picker);
    int nChecked = 0;
    QObject::connect(&picker, &CBrowserPicker::checked, [&] { ++nChecked; });
    m_host.m_pDialog->hide();
    SNodeFields fields;
    fields.nType = NODE_TEXT;
    CNodeDialog dialog(nullptr, fields);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.move(0, 520);  // beside the browser, not over it
    dialog.show();
    auto* pPath = dialog.findChild<QPlainTextEdit*>(QStringLiteral("path"));
    ASSERT_NE(pPath, nullptr);

    const QPoint pos = dialog.mapFromGlobal(Page()->mapToGlobal(CentreOf("tr:nth-child(2) td")));
    QTest::mousePress(dialog.GetNodePickerIcon(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(&dialog, pos);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pPath->toPlainText() == QLatin1String("TD"); }, 5000))
        << pPath->toPlainText().toStdString();
    QTest::mouseRelease(&dialog, Qt::LeftButton, {}, pos);
    ASSERT_TRUE(QTest::qWaitFor([&] { return nChecked == 1; }, 15000));
    // The page text writes its own tbody: the checked path keeps the step.
    EXPECT_EQ(pPath->toPlainText(), QStringLiteral("html@body@table@tbody@tr#tr@td"));
    EXPECT_TRUE(s_pBrowser->GetCheckText().startsWith(QStringLiteral("已核对"))) << s_pBrowser->GetCheckText().toStdString();
    EXPECT_TRUE(s_pBrowser->GetCheckText().contains(QStringLiteral("x2")));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The dialog shows the same check; nothing to offer when the path holds.
    EXPECT_EQ(dialog.GetPathCheckText(), s_pBrowser->GetCheckText());
    EXPECT_FALSE(dialog.GetUseOfferedButton()->isVisible());

    // A path our parse does not share: the dialog offers where the page
    // text has the element, and the button puts it into the field.
    ASSERT_TRUE(Load("/shifted"));
    const QPoint posKept = dialog.mapFromGlobal(Page()->mapToGlobal(CentreOf("#kept")));
    QTest::mousePress(dialog.GetNodePickerIcon(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(dialog.findChild<QLabel*>(QStringLiteral("pathCheck"))->isVisible());
    QTest::mouseMove(&dialog, posKept);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pPath->toPlainText() == QLatin1String("DIV"); }, 5000))
        << pPath->toPlainText().toStdString();
    QTest::mouseRelease(&dialog, Qt::LeftButton, {}, posKept);
    ASSERT_TRUE(QTest::qWaitFor([&] { return nChecked == 2; }, 15000));
    EXPECT_EQ(pPath->toPlainText().toStdString(), "html@body@div#div");
    EXPECT_TRUE(dialog.GetPathCheckText().contains(QStringLiteral("html@body@div"))) << dialog.GetPathCheckText().toStdString();
    ASSERT_TRUE(dialog.GetUseOfferedButton()->isVisible());
    QTest::mouseClick(dialog.GetUseOfferedButton(), Qt::LeftButton);
    EXPECT_EQ(pPath->toPlainText().toStdString(), "html@body@div");
    EXPECT_FALSE(dialog.GetUseOfferedButton()->isVisible());
    CNodeDialog::SetPicker(nullptr);
}

TEST_F(PickerBrowserTest, BrowserOpensBesideEveryNodeDialog)
{
    CBrowserPicker picker;
    picker.FollowNodeDialogs();
    m_host.m_pDialog->hide();
    for (int i = 0; i < 2; ++i) {
        CNodeDialog dialog(nullptr, SNodeFields{});
        dialog.move(0, 520);
        dialog.show();
        ASSERT_NE(picker.GetBrowser(), nullptr);
        EXPECT_TRUE(picker.GetBrowser()->isVisible());
        EXPECT_GT(picker.GetBrowser()->x(), dialog.frameGeometry().right());
    }
}

// The sheet and the node dialog block the main window, never the browser:
// with both open the user still types an address and loads it. Keys go in
// through the window system path, where a modal window would drop them.
TEST_F(PickerBrowserTest, BrowserTakesTypingWhileTheNodeDialogIsOpen)
{
    ASSERT_TRUE(Load("/tbody"));
    m_host.m_pDialog->hide();
    QWidget mainWnd;
    mainWnd.setGeometry(0, 0, 200, 100);
    mainWnd.show();
    CTaskInfoSheet sheet(&mainWnd);
    auto* pAddress = s_pBrowser->findChild<QLineEdit*>(QStringLiteral("address"));
    ASSERT_NE(pAddress, nullptr);
    const QString strUrl = s_pServer->Url("/table");
    QString strTyped;
    bool bLoaded = false;
    bool bDialogWasModal = false;
    QTimer::singleShot(0, &sheet, [&] {
        CNodeDialog dialog(&sheet, SNodeFields{});
        QTimer::singleShot(0, &dialog, [&] {
            bDialogWasModal = QApplication::activeModalWidget() == &dialog;
            pAddress->clear();
            pAddress->setFocus();
            QSignalSpy spy(s_pBrowser, &CBrowserWnd::pageLoaded);
            for (const QChar c : strUrl)
                QTest::keyClick(s_pBrowser->windowHandle(), c.toLatin1());
            strTyped = pAddress->text();
            QTest::keyClick(s_pBrowser->windowHandle(), Qt::Key_Return);
            bLoaded = spy.wait(10000) && spy.front().front().toBool();
            dialog.reject();
        });
        dialog.exec();
        sheet.reject();
    });
    sheet.exec();
    EXPECT_TRUE(bDialogWasModal);
    EXPECT_EQ(strTyped.toStdString(), strUrl.toStdString());
    EXPECT_TRUE(bLoaded);
    EXPECT_EQ(s_pBrowser->GetUrl().toString().toStdString(), strUrl.toStdString());
}

// A pick confirmed with OK refreshes the Content page's preview from the page
// text the check fetched: the records of the block with the new column.
TEST_F(PickerBrowserTest, PickRefreshesThePreviewFromTheCheckedPage)
{
    ASSERT_TRUE(Load("/table"));
    m_host.m_pDialog->hide();
    CBrowserPicker picker;
    picker.SetBrowser(s_pBrowser);
    CNodeDialog::SetPicker(&picker);
    int nChecked = 0;
    QObject::connect(&picker, &CBrowserPicker::checked, [&] { ++nChecked; });
    CTaskInfoSheet sheet;
    sheet.GetDocument().Parse(("<root><general><taskname>t</taskname><frequence>60</frequence></general>"
                               "<network><url>" + s_pServer->Url("/table").toStdString() + "</url></network>"
                               "<location><path>html@body@table@tr</path><step>#tr</step>"
                               "<data><type>0</type><name>first</name><path>@td</path><order>1</order><only>1</only></data>"
                               "</location></root>").c_str());
    sheet.Start();
    sheet.setGeometry(0, 520, 300, 200);
    sheet.show();
    sheet.GetTabs()->setCurrentIndex(1);
    CTaskInfoPage2* pPage = sheet.GetContentPage();
    ASSERT_NE(pPage, nullptr);
    QString strPicked;
    QTimer::singleShot(0, [&] {
        auto* pDialog = qobject_cast<CNodeDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr)
            return;
        pDialog->move(0, 520);
        pDialog->findChild<QRadioButton*>(QStringLiteral("type%1").arg(NODE_TEXT))->click();
        pDialog->findChild<QLineEdit*>(QStringLiteral("name"))->setText(QStringLiteral("second"));
        auto* pPath = pDialog->findChild<QPlainTextEdit*>(QStringLiteral("path"));
        const QPoint pos = pDialog->mapFromGlobal(Page()->mapToGlobal(CentreOf("tr:nth-child(1) td:nth-child(2)")));
        QTest::mousePress(pDialog->GetNodePickerIcon(), Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseMove(pDialog, pos);
        QTest::qWaitFor([&] { return pPath->toPlainText() == QLatin1String("TD"); }, 5000);
        QTest::mouseRelease(pDialog, Qt::LeftButton, {}, pos);
        QTest::qWaitFor([&] { return nChecked == 1; }, 15000);
        strPicked = pPath->toPlainText();
        pDialog->findChild<QPushButton*>(QStringLiteral("ok"))->click();
    });
    pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
    EXPECT_EQ(strPicked.toStdString(), "html@body@table@tr@td#td");
    QTableWidget* pTable = pPage->GetPreviewTable();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pPage->IsPreviewRunning() && pTable->rowCount() == 3; }, 10000))
        << pPage->GetPreviewLog()->text().toStdString();
    ASSERT_EQ(pTable->columnCount(), 2);
    const int nFirst = pTable->horizontalHeaderItem(0)->text() == QLatin1String("first") ? 0 : 1;
    EXPECT_EQ(pTable->horizontalHeaderItem(1 - nFirst)->text(), QStringLiteral("second"));
    const char* const apszRows[3][2] = {{"a1", "a2"}, {"b1", "b2"}, {"c1", "c2"}};
    for (int nRow = 0; nRow < 3; ++nRow) {
        EXPECT_EQ(pTable->item(nRow, nFirst)->text().toStdString(), apszRows[nRow][0]);
        EXPECT_EQ(pTable->item(nRow, 1 - nFirst)->text().toStdString(), apszRows[nRow][1]);
    }
    // From the checked text: the page was not asked for again.
    EXPECT_TRUE(pPage->GetPreviewLog()->text().contains(QStringLiteral("使用已取得的"))) << pPage->GetPreviewLog()->text().toStdString();

    // A run of the task as the sheet defines it now gives the records the
    // preview showed.
    CMarkupDoc def;
    sheet.BuildCurrentDefinition(def);
    CExtractOnce run;
    CExtractResult result;
    // Off this thread: the page server answers on this thread's events.
    std::atomic<bool> bDone{false};
    bool bRan = false;
    std::thread runner([&] {
        bRan = run.Run(def, result);
        bDone = true;
    });
    const bool bFinished = QTest::qWaitFor([&] { return bDone.load(); }, 15000);
    if (!bFinished)
        run.Cancel();
    runner.join();
    ASSERT_TRUE(bRan) << result.m_strLog;
    ASSERT_EQ(result.m_aRecords.size(), 3u);
    for (int nRow = 0; nRow < 3; ++nRow) {
        for (int nColumn = 0; nColumn < 2; ++nColumn)
            EXPECT_EQ(result.m_aRecords[size_t(nRow)][size_t(nColumn)], pTable->item(nRow, nColumn)->text().toStdString());
    }
    CNodeDialog::SetPicker(nullptr);
}

// As a user builds a task: a block from both icons (the row and the next
// row), then a field; the preview after the last pick is what a run of the
// task extracts.
TEST_F(PickerBrowserTest, BothIconsBuildATaskWhosePreviewIsItsRun)
{
    ASSERT_TRUE(Load("/table"));
    m_host.m_pDialog->hide();
    CTaskInfoSheet sheet;
    sheet.GetDocument().Parse(("<root><general><taskname>t</taskname><frequence>60</frequence></general>"
                               "<network><url>" + s_pServer->Url("/table").toStdString() + "</url></network></root>").c_str());
    sheet.Start();
    sheet.setGeometry(0, 520, 300, 200);
    sheet.show();
    sheet.GetTabs()->setCurrentIndex(1);
    CTaskInfoPage2* pPage = sheet.GetContentPage();
    ASSERT_NE(pPage, nullptr);
    // Drags pIcon of the open dialog onto the cell a selector names and waits for the check.
    auto pick = [&](CNodeDialog* pDialog, QLabel* pIcon, const char* pszField, const char* pszCell) {
        auto* pField = pDialog->findChild<QPlainTextEdit*>(QString::fromLatin1(pszField));
        const int nChecked = m_host.m_nChecked;
        const QPoint pos = pDialog->mapFromGlobal(Page()->mapToGlobal(CentreOf(pszCell)));
        QTest::mousePress(pIcon, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseMove(pDialog, pos);
        QTest::qWaitFor([&] { return pField->toPlainText() == QLatin1String("TD"); }, 5000);
        QTest::mouseRelease(pDialog, Qt::LeftButton, {}, pos);
        QTest::qWaitFor([&] { return m_host.m_nChecked == nChecked + 1; }, 15000);
        return pField->toPlainText().toStdString();
    };
    std::string strBlock, strSibling, strField;
    QTimer::singleShot(0, [&] {
        auto* pDialog = qobject_cast<CNodeDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr)
            return;
        pDialog->move(0, 520);
        pDialog->findChild<QRadioButton*>(QStringLiteral("type%1").arg(NODE_BLOCK))->click();
        strBlock = pick(pDialog, pDialog->GetNodePickerIcon(), "path", "tr:nth-child(1) td:nth-child(1)");
        strSibling = pick(pDialog, pDialog->GetSiblingPickerIcon(), "sibling", "tr:nth-child(2) td:nth-child(1)");
        pDialog->findChild<QPushButton*>(QStringLiteral("ok"))->click();
    });
    pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
    EXPECT_EQ(strBlock, "html@body@table@tr@td");
    EXPECT_EQ(strSibling, "html@body@table@tr#tr@td");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pPage->IsPreviewRunning(); }, 10000));
    // The two picks trim to the row and its step.
    std::string strText;
    sheet.GetDocument().SaveToString(strText);
    EXPECT_NE(strText.find("<path>html@body@table@tr</path>"), std::string::npos) << strText;
    EXPECT_NE(strText.find("<step>#tr</step>"), std::string::npos) << strText;

    QTimer::singleShot(0, [&] {
        auto* pDialog = qobject_cast<CNodeDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr)
            return;
        pDialog->move(0, 520);
        pDialog->findChild<QRadioButton*>(QStringLiteral("type%1").arg(NODE_TEXT))->click();
        pDialog->findChild<QLineEdit*>(QStringLiteral("name"))->setText(QStringLiteral("second"));
        pDialog->findChild<QCheckBox*>(QStringLiteral("only"))->setChecked(true);  // the key: every row is new
        strField = pick(pDialog, pDialog->GetNodePickerIcon(), "path", "tr:nth-child(1) td:nth-child(2)");
        pDialog->findChild<QPushButton*>(QStringLiteral("ok"))->click();
    });
    pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
    EXPECT_EQ(strField, "html@body@table@tr@td#td");
    QTableWidget* pTable = pPage->GetPreviewTable();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pPage->IsPreviewRunning() && pTable->rowCount() == 3; }, 10000))
        << pPage->GetPreviewLog()->text().toStdString();
    ASSERT_EQ(pTable->columnCount(), 1);
    const char* const apszValues[] = {"a2", "b2", "c2"};
    for (int nRow = 0; nRow < 3; ++nRow)
        EXPECT_EQ(pTable->item(nRow, 0)->text().toStdString(), apszValues[nRow]);

    CMarkupDoc def;
    sheet.BuildCurrentDefinition(def);
    CExtractOnce run;
    CExtractResult result;
    std::atomic<bool> bDone{false};
    std::thread runner([&] {
        run.Run(def, result);
        bDone = true;
    });
    if (!QTest::qWaitFor([&] { return bDone.load(); }, 15000))
        run.Cancel();
    runner.join();
    ASSERT_EQ(result.m_aRecords.size(), 3u) << result.m_strLog;
    for (int nRow = 0; nRow < 3; ++nRow)
        EXPECT_EQ(result.m_aRecords[size_t(nRow)][0], apszValues[nRow]);
}

// Last: the page that never loads leaves the view on a pending navigation.
TEST_F(PickerBrowserTest, PageThatNeverLoadsEndsWithAnEmptyField)
{
    s_pBrowser->GetView()->setUrl(QUrl(QStringLiteral("about:blank")));
    QTest::qWait(300);
    s_pBrowser->Open(s_pServer->Url("/never"));
    const QPoint pos(200, 200);
    QTest::mousePress(m_host.m_pNodeIcon, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(m_host.m_pDialog.get(), OnIcon(m_host.m_pNodeIcon, pos));
    QTest::qWait(300);
    ReleaseAndWait(m_host.m_pNodeIcon, OnIcon(m_host.m_pNodeIcon, pos));
    EXPECT_EQ(m_host.m_pNodeField->toPlainText(), QString());
    EXPECT_EQ(m_host.m_nChecked, 0);
}

// The page's answer is read without trusting it: states that are no web
// page, absurd shapes and sizes give no element rather than a wrong path.
TEST(PageAnswerTest, OnlyASaneAnswerFromAWebPageGivesAnElement)
{
    auto Level = [](const char* pszTag, QStringList before) {
        return QVariantMap{ { "tag", pszTag }, { "before", before } };
    };
    const QVariantList chain{ Level("TD", { "TD" }), Level("TR", { "TR", "TR" }), Level("TBODY", {}),
                              Level("TABLE", { "H1" }), Level("BODY", { "HEAD" }), Level("HTML", {}) };
    QVariantMap answer{ { "tag", "TD" }, { "state", "complete" }, { "href", "http://127.0.0.1/x" },
                        { "chain", chain }, { "text", "c2" }, { "cut", false } };
    std::optional<SPickInfo> info = CPageBridge::ReadAnswer(answer, CPageBridge::QUERY_ELEMENT);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->strReportedTag, "TD");
    EXPECT_EQ(info->picked.strPath, "html@body@table@tbody@tr#tr#tr@td#td");
    EXPECT_EQ(info->picked.strText, "c2");

    struct { const char* pszKey; QVariant value; } bad[] = {
        { "state", "loading" },                  // the document is still being read
        { "href", "about:blank" },               // no web page
        { "href", "chrome-error://chromewebdata/" },
        { "none", true },                        // no element at the point
        { "tooLarge", true },
        { "tag", QString(300, 'A') },
        { "tag", "" },
        { "chain", QVariantList{} },
        // The topmost element cannot have siblings before it.
        { "chain", QVariantList{ Level("HTML", { "X" }) } },
    };
    for (const auto& c : bad) {
        QVariantMap wrong = answer;
        wrong[c.pszKey] = c.value;
        EXPECT_FALSE(CPageBridge::ReadAnswer(wrong, CPageBridge::QUERY_ELEMENT).has_value()) << c.pszKey;
    }
    EXPECT_FALSE(CPageBridge::ReadAnswer(QVariant(42), CPageBridge::QUERY_TAG).has_value());
    EXPECT_FALSE(CPageBridge::ReadAnswer(QVariant(), CPageBridge::QUERY_TAG).has_value());
    // A tag query needs no ancestry.
    QVariantMap tagOnly{ { "tag", "TD" }, { "state", "interactive" }, { "href", "https://h/" } };
    ASSERT_TRUE(CPageBridge::ReadAnswer(tagOnly, CPageBridge::QUERY_TAG).has_value());
    EXPECT_FALSE(CPageBridge::ReadAnswer(tagOnly, CPageBridge::QUERY_ELEMENT).has_value());
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
