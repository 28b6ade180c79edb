// PickerShotsMain.cpp - quarvex-picker-screenshots OUTDIR SITEDIR: serves the
// example site on 127.0.0.1, opens the editor's browser on its board page and
// a node dialog beside it, drags the node picker icon onto a cell and saves
// the browser mid-drag (outline on the cell), the browser with the check of
// the path against our parse of the page text, and the dialog with the path.
#include "BrowserPicker.h"
#include "BrowserWnd.h"

#include "editor/NodeDialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
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

    CBrowserPicker picker;
    picker.SetBrowser(&browser);
    CNodeDialog::SetPicker(&picker);
    int nChecked = 0;
    QObject::connect(&picker, &CBrowserPicker::checked, [&] { ++nChecked; });
    SNodeFields fields;
    fields.nType = NODE_TEXT;
    fields.strName = "日期";
    CNodeDialog dialog(nullptr, fields);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.move(0, 20);
    dialog.show();
    browser.move(dialog.frameGeometry().right() + 12, 20);
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

    // The dialog holds the capture during the drag: every mouse event comes to it.
    QTest::mousePress(dialog.GetNodePickerIcon(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(&dialog, dialog.mapFromGlobal(ptGlobal) + QPoint(-3, 0));
    PumpUntil([] { return false; }, 400);
    QTest::mouseMove(&dialog, dialog.mapFromGlobal(ptGlobal));
    PumpUntil([] { return false; }, 800);
    bool bOk = Save(&browser, strOut + "picker-drag.png");
    QTest::mouseRelease(&dialog, Qt::LeftButton, {}, dialog.mapFromGlobal(ptGlobal));
    if (!PumpUntil([&] { return nChecked > 0; }, 20000))
        std::fputs("the pick was not checked\n", stderr);
    bOk = Save(&browser, strOut + "picker-check.png") && bOk;
    bOk = Save(&dialog, strOut + "picker-node-dialog.png") && bOk;
    CNodeDialog::SetPicker(nullptr);
    return bOk ? 0 : 1;
}
