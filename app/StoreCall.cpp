// StoreCall.cpp - a nested event loop that ends when the worker is done.
#include "StoreCall.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>

#include <thread>

namespace quarvex {

namespace {

// Swallows what the user does while a call runs; paint, timer and posted
// events pass, so the window repaints and the task bars keep moving.
class CInputBlocker : public QObject {
public:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        switch (pEvent->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::Close:
            pEvent->ignore();
            return true;
        default:
            return false;
        }
    }
};

} // namespace

void RunOffGuiThread(const std::function<void()>& fnCall)
{
    if (QApplication::instance() == nullptr) {
        fnCall();
        return;
    }
    CInputBlocker blocker;
    qApp->installEventFilter(&blocker);
    QApplication::setOverrideCursor(Qt::BusyCursor);

    QEventLoop loop;
    std::thread hWorker([&fnCall, &loop] {
        fnCall();
        // Queued: the loop has either started or will see the event first
        // thing, since nothing runs events between the start and exec().
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    hWorker.join();

    QApplication::restoreOverrideCursor();
    qApp->removeEventFilter(&blocker);
}

} // namespace quarvex
