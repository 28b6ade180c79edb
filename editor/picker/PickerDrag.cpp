// PickerDrag.cpp - the picker drag. Everything runs on the GUI thread; the
// page answers asynchronously, so each answer checks that its drag is still
// the current one.
#include "PickerDrag.h"

#include "BrowserWnd.h"

#include <QApplication>
#include <QBitmap>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWebEngineView>
#include <QWidget>

namespace quarvex {

CPickerDrag::CPickerDrag(IPickerHost* pHost, QWidget* pNodeIcon, QWidget* pSiblingIcon, QObject* pParent)
    : QObject(pParent), m_pHost(pHost), m_pNodeIcon(pNodeIcon), m_pSiblingIcon(pSiblingIcon)
{
    m_watchdog.setInterval(WATCHDOG_MS);
    connect(&m_watchdog, &QTimer::timeout, this, &CPickerDrag::OnWatchdog);
    if (pNodeIcon != nullptr)
        pNodeIcon->installEventFilter(this);
    if (pSiblingIcon != nullptr)
        pSiblingIcon->installEventFilter(this);
}

CPickerDrag::~CPickerDrag()
{
    // A dialog closed mid-drag must not leave the mouse captured or the
    // cursor changed.
    if (m_pCapture != nullptr)
        m_pCapture->releaseMouse();
    RestoreCursor();
    ForgetBrowserWindow();
}

void CPickerDrag::SetBrowser(CBrowserWnd* pBrowser)
{
    m_pBrowser = pBrowser;
}

QCursor CPickerDrag::PickerCursor()
{
    // A cross hair in a ring, drawn here rather than shipped as an image.
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 4));
    painter.drawEllipse(QPointF(16, 16), 9, 9);
    painter.drawLine(16, 1, 16, 31);
    painter.drawLine(1, 16, 31, 16);
    painter.setPen(QPen(QColor(0xe0, 0x20, 0x1b), 2));
    painter.drawEllipse(QPointF(16, 16), 9, 9);
    painter.drawLine(16, 2, 16, 30);
    painter.drawLine(2, 16, 30, 16);
    painter.end();
    return QCursor(pixmap, 16, 16);
}

bool CPickerDrag::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    QWidget* pIcon = qobject_cast<QWidget*>(pWatched);
    if (pIcon == nullptr || (pIcon != m_pNodeIcon && pIcon != m_pSiblingIcon))
        return QObject::eventFilter(pWatched, pEvent);
    switch (pEvent->type()) {
    case QEvent::MouseButtonPress: {
        auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        if (pMouse->button() == Qt::LeftButton && Press(pIcon))
            return true;
        break;
    }
    case QEvent::MouseMove:
        // Moves without the capture are ignored.
        if (m_pCapture == pIcon && !m_bReleased) {
            MoveTo(static_cast<QMouseEvent*>(pEvent)->globalPosition().toPoint());
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        if (m_pCapture == pIcon && static_cast<QMouseEvent*>(pEvent)->button() == Qt::LeftButton) {
            Release();
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(pWatched, pEvent);
}

bool CPickerDrag::Press(QWidget* pIcon)
{
    if (IsDragging() || !m_pHost->IsPickingEnabled() || pIcon == nullptr || !pIcon->isVisible())
        return false;
    EPickTarget nTarget = PICK_NONE;
    if (pIcon == m_pNodeIcon)
        nTarget = PICK_NODE;
    else if (pIcon == m_pSiblingIcon && m_pHost->IsBlockTypeSelected())
        nTarget = PICK_SIBLING;
    if (nTarget == PICK_NONE)
        return false;

    ++m_nDrag;
    m_nTarget = nTarget;
    m_bReleased = false;
    m_bOverBrowser = false;
    m_bTagAsked = m_bTagAgain = false;
    m_lastPos = QCursor::pos();
    m_pHost->SetTargetText(nTarget, QString());
    m_pCapture = pIcon;
    pIcon->grabMouse();
    QApplication::setOverrideCursor(PickerCursor());
    ++m_nCursors;
    m_watchdog.start();
    return true;
}

void CPickerDrag::MoveTo(const QPoint& globalPos)
{
    if (!IsDragging() || m_bReleased)
        return;
    m_lastPos = globalPos;
    if (m_bOverBrowser && (m_pBrowser == nullptr || !m_pBrowser->GetPageScreenRect().contains(globalPos)))
        ForgetBrowserWindow();
    if (!m_bOverBrowser) {
        m_pHost->SetTargetText(m_nTarget, QStringLiteral("正在捕捉浏览器窗口..."));
        QWidget* pUnder = QApplication::widgetAt(globalPos);
        if (m_pBrowser == nullptr || pUnder == nullptr || !m_pBrowser->IsPageWidget(pUnder)
            || !m_pBrowser->isVisible())
            return;
        m_bOverBrowser = true;
    }
    AskTag();
}

// One tag query at a time; moves made while it is out are folded into one
// more query for the latest position.
void CPickerDrag::AskTag()
{
    if (m_bTagAsked) {
        m_bTagAgain = true;
        return;
    }
    m_bTagAsked = true;
    m_bTagAgain = false;
    QWebEngineView* pView = m_pBrowser->GetView();
    const unsigned nDrag = m_nDrag;
    m_bridge.Query(pView, pView->mapFromGlobal(m_lastPos), CPageBridge::QUERY_TAG, true,
                   [this, nDrag](std::optional<SPickInfo> info) {
        if (nDrag != m_nDrag)
            return;
        m_bTagAsked = false;
        if (!IsDragging() || m_bReleased || !m_bOverBrowser)
            return;
        if (info)
            m_pHost->SetTargetText(m_nTarget, QString::fromStdString(info->strReportedTag));
        if (m_bTagAgain)
            AskTag();
    });
}

void CPickerDrag::Release()
{
    if (!IsDragging() || m_bReleased)
        return;
    m_bReleased = true;
    if (m_pCapture != nullptr)
        m_pCapture->releaseMouse();
    m_pCapture = nullptr;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++m_nCursors;
    m_pHost->SetTargetText(m_nTarget, m_nTarget == PICK_NODE ? QStringLiteral("正在获取节点路径...")
                                                             : QStringLiteral("正在获取兄弟节点路径..."));
    if (!m_bOverBrowser || m_pBrowser == nullptr) {
        Finish(nullptr);
        return;
    }
    // The path comes from the position of the last move, not of the release.
    QWebEngineView* pView = m_pBrowser->GetView();
    const unsigned nDrag = m_nDrag;
    m_bridge.Query(pView, pView->mapFromGlobal(m_lastPos), CPageBridge::QUERY_ELEMENT, false,
                   [this, nDrag](std::optional<SPickInfo> info) {
        if (nDrag != m_nDrag || !m_bReleased)
            return;
        Finish(info ? &*info : nullptr);
    });
}

void CPickerDrag::Finish(const SPickInfo* pInfo)
{
    const EPickTarget nTarget = m_nTarget;
    m_pHost->SetTargetText(nTarget, pInfo != nullptr ? QString::fromStdString(ReplaceTableTbody(pInfo->picked.strPath))
                                                     : QString());
    m_nTarget = PICK_NONE;
    m_bReleased = false;
    m_watchdog.stop();
    RestoreCursor();
    ForgetBrowserWindow();
    m_pHost->OnPicked(nTarget, pInfo);
    emit finished();
}

void CPickerDrag::OnWatchdog()
{
    if (m_bReleased)
        return;  // Waiting for the page, which answers or times out by itself.
    if (IsDragging() && m_pCapture != nullptr && QWidget::mouseGrabber() == m_pCapture)
        return;
    // The capture was taken away without a release: the drag ends, the field
    // keeps what the last move wrote.
    m_watchdog.stop();
    ++m_nDrag;
    m_nTarget = PICK_NONE;
    m_pCapture = nullptr;
    RestoreCursor();
    ForgetBrowserWindow();
    emit finished();
}

void CPickerDrag::RestoreCursor()
{
    for (; m_nCursors > 0; --m_nCursors)
        QApplication::restoreOverrideCursor();
}

void CPickerDrag::ForgetBrowserWindow()
{
    if (m_bOverBrowser && m_pBrowser != nullptr)
        CPageBridge::RemoveOutline(m_pBrowser->GetView());
    m_bOverBrowser = false;
}

} // namespace quarvex
