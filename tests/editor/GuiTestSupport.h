// GuiTestSupport.h - driving the editor's windows as a user would: answering
// the next modal dialog or message box, and waiting with the event loop
// running.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

// Processes events until fnDone holds; false after nMs.
inline bool WaitFor(const std::function<bool()>& fnDone, int nMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!fnDone()) {
        if (timer.elapsed() > nMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Calls fn once with the next modal widget that opens (other than the one
// active now), polling every 20 ms for up to ten seconds. Call it before the
// click that opens the modal.
inline void OnNextModal(std::function<void(QWidget*)> fn)
{
    QPointer<QWidget> pBefore = QApplication::activeModalWidget();
    auto pTimer = new QTimer(qApp);  // Owned by the application: one left waiting is freed at exit.
    auto nTicks = std::make_shared<int>(0);
    pTimer->setObjectName("modalWatcher");
    pTimer->setInterval(20);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, pBefore, fn, nTicks] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (++*nTicks > 500) {
            pTimer->deleteLater();
            pTimer->stop();
            return;
        }
        if (pModal == nullptr || pModal == pBefore || !pModal->isVisible())
            return;
        pTimer->stop();
        pTimer->deleteLater();
        fn(pModal);
    });
    pTimer->start();
}

// Records the next message box's text into *pText and presses nButton.
inline void AnswerNextMessage(QString* pText, QMessageBox::StandardButton nButton = QMessageBox::Ok)
{
    OnNextModal([pText, nButton](QWidget* pModal) {
        auto* pBox = qobject_cast<QMessageBox*>(pModal);
        if (pBox == nullptr) {
            *pText = QStringLiteral("(not a message box: %1)").arg(pModal->metaObject()->className());
            pModal->close();
            return;
        }
        *pText = pBox->text();
        if (QAbstractButton* pButton = pBox->button(nButton))
            pButton->click();
        else
            pBox->close();
    });
}

// Drops every handler still waiting for a modal that never came, so that it
// cannot answer a later test's dialog with that test's variables gone.
inline void CancelModalHandlers()
{
    for (QTimer* pTimer : qApp->findChildren<QTimer*>("modalWatcher", Qt::FindDirectChildrenOnly)) {
        pTimer->stop();
        pTimer->deleteLater();
    }
}
