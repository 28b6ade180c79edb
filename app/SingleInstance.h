// SingleInstance.h - one running copy per user: the first copy listens on a
// local socket; a later copy tells it to come forward and ends. The socket is
// the only channel, so the window brought forward is the one really shown.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace quarvex {

class CSingleInstance : public QObject {
    Q_OBJECT
public:
    // strKey names the channel; empty means the current user's default.
    explicit CSingleInstance(const QString& strKey = QString(), QObject* pParent = nullptr);
    ~CSingleInstance() override;

    // True when another copy answered and was told to come forward (this
    // copy should end). Otherwise this copy starts listening and returns false.
    bool SignalRunningCopy();

    static QString DefaultKey();

signals:
    // Another copy started.
    void Activated();

private:
    QString m_strKey;
    QLocalServer* m_pServer = nullptr;
};

} // namespace quarvex
