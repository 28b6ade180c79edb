// SplashWnd.cpp - a frameless topmost picture.
#include "SplashWnd.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

namespace quarvex {

CSplashWnd::CSplashWnd(const QString& strPicture)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName("splash");
    setAttribute(Qt::WA_DeleteOnClose, false);
    if (!strPicture.isEmpty())
        m_picture.load(strPicture);
    if (m_picture.isNull())
        m_picture.load(":/quarvex/splash.png");
    if (m_picture.isNull()) {
        m_picture = QPixmap(400, 240);
        m_picture.fill(QColor(40, 80, 140));
    }
    setFixedSize(m_picture.deviceIndependentSize().toSize());
}

void CSplashWnd::ShowCentred()
{
    if (QScreen* pScreen = QGuiApplication::primaryScreen()) {
        const QRect area = pScreen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    show();
    raise();
}

void CSplashWnd::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_picture);
}

void CSplashWnd::mousePressEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() == Qt::LeftButton) {
        m_bDragging = true;
        m_dragOffset = pEvent->globalPosition().toPoint() - frameGeometry().topLeft();
    }
}

void CSplashWnd::mouseMoveEvent(QMouseEvent* pEvent)
{
    if (m_bDragging && (pEvent->buttons() & Qt::LeftButton))
        move(pEvent->globalPosition().toPoint() - m_dragOffset);
}

void CSplashWnd::mouseReleaseEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() == Qt::LeftButton)
        m_bDragging = false;
}

} // namespace quarvex
