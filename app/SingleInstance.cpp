// SingleInstance.cpp - QLocalServer/QLocalSocket handshake.
#include "SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace quarvex {

namespace {

constexpr char ACTIVATE[] = "activate\n";
constexpr int CONNECT_WAIT_MS = 1000;

} // namespace

CSingleInstance::CSingleInstance(const QString& strKey, QObject* pParent)
    : QObject(pParent)
    , m_strKey(strKey.isEmpty() ? DefaultKey() : strKey)
{
}

CSingleInstance::~CSingleInstance() = default;

QString CSingleInstance::DefaultKey()
{
    return QString("quarvex-%1").arg(getuid());
}

bool CSingleInstance::SignalRunningCopy()
{
    {
        QLocalSocket socket;
        socket.connectToServer(m_strKey);
        if (socket.waitForConnected(CONNECT_WAIT_MS)) {
            socket.write(ACTIVATE);
            socket.waitForBytesWritten(CONNECT_WAIT_MS);
            socket.disconnectFromServer();
            return true;
        }
    }
    m_pServer = new QLocalServer(this);
    // Only this user may reach the channel.
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_pServer->listen(m_strKey)) {
        // A copy that crashed left its socket file; nobody answered on it.
        QLocalServer::removeServer(m_strKey);
        m_pServer->listen(m_strKey);
    }
    connect(m_pServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* pSocket = m_pServer->nextPendingConnection()) {
            connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
            // Whatever the copy sends, its arrival is the request; the
            // bytes are not interpreted.
            connect(pSocket, &QLocalSocket::readyRead, pSocket, [pSocket] { pSocket->readAll(); });
            emit Activated();
        }
    });
    return false;
}

} // namespace quarvex
