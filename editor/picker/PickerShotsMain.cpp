// PickerShotsMain.cpp - quarvex-picker-screenshots OUTDIR SITEDIR: serves the
// example site on 127.0.0.1, opens the editor's browser on its board page and
// a picking panel beside it, drags the picker icon onto a cell and saves the
// browser mid-drag (outline on the cell) and the panel once the path has been
// checked against our parse of the page text.
#include "BrowserWnd.h"
#include "PathCheckJob.h"
#include "PickerDrag.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <cstdio>

using namespace quarvex;

namespace {

// Lets queued calls, page answers and paints through for nMs milliseconds, or
// until fnDone says so.
template <typename F>
bool PumpUntil(F fnDone, int nMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < nMs) {
        if (fnDone())
            return true;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return fnDone();
}

bool Save(QWidget* pWidget, const QString& strPath)
{
    pWidget->raise();
    PumpUntil([] { return false; }, 400);
    const bool bSaved = pWidget->grab().save(strPath);
    std::printf("%s %s\n", bSaved ? "saved" : "FAILED", qPrintable(strPath));
    return bSaved;
}

// Serves the files of one folder, "@PORT@" replaced by the port, as the
// demo does.
class CSiteServer : public QObject {
public:
    explicit CSiteServer(const QString& strDir) : m_strDir(strDir)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* pSocket = m_server.nextPendingConnection()) {
                connect(pSocket, &QTcpSocket::readyRead, pSocket, [this, pSocket] { Answer(pSocket); });
                connect(pSocket, &QTcpSocket::disconnected, pSocket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString Url(const char* pszPath) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_server.serverPort()).arg(QLatin1String(pszPath));
    }

private:
    void Answer(QTcpSocket* pSocket)
    {
        QByteArray request = pSocket->property("request").toByteArray() + pSocket->readAll();
        pSocket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
        const QString strName = words.size() > 1 ? QString::fromLatin1(words[1]).section('/', -1) : QString();
        QFile file(QDir(m_strDir).filePath(strName));
        QByteArray body;
        const bool bFound = !strName.isEmpty() && !strName.startsWith('.') && file.open(QIODevice::ReadOnly);
        if (bFound)
            body = file.readAll().replace("@PORT@", QByteArray::number(m_server.serverPort()));
        pSocket->write(QByteArray(bFound ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
                       + "Content-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: "
                       + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        pSocket->disconnectFromHost();
    }

    QString m_strDir;
    QTcpServer m_server;
};


// The picker's controls as the node dialog lays them out: the path field with
// its icon, and the check line under it.
class CPickPanel : public QWidget, public IPickerHost {
public:
    CPickPanel()
    {
        setWindowTitle(QStringLiteral("节点路径"));
        m_pIcon = new QLabel(this);
        m_pIcon->setPixmap(CPickerDrag::PickerCursor().pixmap());
        m_pIcon->setToolTip(QStringLiteral("按住鼠标左键，拖动到浏览器中的节点上松开"));
        m_pField = new QLineEdit(this);
        m_pCheck = new QLabel(this);
        m_pCheck->setWordWrap(true);
        auto* pLayout = new QVBoxLayout(this);
        pLayout->addWidget(new QLabel(QStringLiteral("节点路径："), this));
        auto* pRow = new QHBoxLayout;
        pRow->addWidget(m_pField, 1);
        pRow->addWidget(m_pIcon);
        pLayout->addLayout(pRow);
        pLayout->addWidget(m_pCheck, 1);
        m_pDrag = new CPickerDrag(this, m_pIcon, nullptr, this);
        QObject::connect(&m_job, &CPathCheckJob::checked, this, [this] { ShowCheck(); });
    }
    bool IsPickingEnabled() const override { return true; }
    bool IsBlockTypeSelected() const override { return false; }
    void SetTargetText(EPickTarget, const QString& strText) override
    {
        m_pField->setText(strText);
        m_pField->repaint();
    }
    void OnPicked(EPickTarget, const SPickInfo* pInfo) override
    {
        if (pInfo == nullptr)
            return;
        m_pCheck->setText(QStringLiteral("正在用任务的请求获取网页源文本，核对路径..."));
        m_job.Start(FetchByGet(pInfo->strPageUrl), pInfo->picked, 1, "");
    }
    void ShowCheck()
    {
        const SCheckOutcome& outcome = m_job.GetOutcome();
        QString strLine = outcome.bFetched ? QString::fromStdString(DescribePathCheck(outcome.check, outcome.picked))
                                           : QString::fromStdString(outcome.strError);
        if (outcome.check.bValueFound)
            strLine += QStringLiteral("\n取值：") + QString::fromStdString(outcome.check.strValue);
        if (outcome.check.nResult != CHECK_UNCHECKED)
            m_pField->setText(QString::fromStdString(outcome.check.strPath));
        m_pCheck->setText(strLine);
        ++m_nChecked;
    }

    QLabel* m_pIcon;
    QLineEdit* m_pField;
    QLabel* m_pCheck;
    CPickerDrag* m_pDrag;
    CPathCheckJob m_job;
    int m_nChecked = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: quarvex-picker-screenshots OUTDIR SITEDIR\n", stderr);
        return 2;
    }
    const QString strOut = QString::fromLocal8Bit(argv[1]) + "/";
    CSiteServer site(QString::fromLocal8Bit(argv[2]));

    CBrowserWnd browser;
    browser.setGeometry(470, 20, 780, 560);
    browser.show();
    bool bLoaded = false;
    QObject::connect(&browser, &CBrowserWnd::pageLoaded, [&](bool bOk) { bLoaded = bOk; });
    browser.Open(site.Url("board.html"));
    if (!PumpUntil([&] { return bLoaded; }, 15000)) {
        std::fputs("the board page did not load\n", stderr);
        return 1;
    }

    CPickPanel panel;
    panel.m_pDrag->SetBrowser(&browser);
    panel.setGeometry(20, 20, 430, 220);
    panel.show();
    PumpUntil([] { return false; }, 500);

    // The date cell of the second notice.
    QVariantList box;
    bool bBox = false;
    browser.GetView()->page()->runJavaScript(
        QStringLiteral("(function(){var r=document.querySelectorAll('tr')[2].children[1].getBoundingClientRect();"
                       "return [r.left+r.width/2, r.top+r.height/2];})()"),
        QWebEngineScript::ApplicationWorld, [&](const QVariant& v) { box = v.toList(); bBox = true; });
    if (!PumpUntil([&] { return bBox; }, 5000) || box.size() != 2)
        return 1;
    QWidget* pPage = browser.GetView()->focusProxy();
    const QPoint ptGlobal = pPage->mapToGlobal(QPoint(int(box[0].toDouble()), int(box[1].toDouble())));

    // While the icon holds the capture every mouse event comes to it.
    QLabel* pIcon = panel.m_pIcon;
    QTest::mousePress(pIcon, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(pIcon, pIcon->mapFromGlobal(ptGlobal) + QPoint(-3, 0));
    PumpUntil([] { return false; }, 400);
    QTest::mouseMove(pIcon, pIcon->mapFromGlobal(ptGlobal));
    PumpUntil([&] { return panel.m_pField->text() == QLatin1String("TD"); }, 3000);
    PumpUntil([] { return false; }, 400);
    bool bOk = Save(&browser, strOut + "picker-drag.png");
    QTest::mouseRelease(pIcon, Qt::LeftButton, {}, pIcon->mapFromGlobal(ptGlobal));
    if (!PumpUntil([&] { return panel.m_nChecked > 0; }, 20000))
        std::fputs("the pick was not checked\n", stderr);
    bOk = Save(&panel, strOut + "picker-check.png") && bOk;
    return bOk ? 0 : 1;
}
