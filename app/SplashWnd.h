// SplashWnd.h - the picture shown from the login's OK until the main window
// shows: centred, on top, draggable with the left button. Closing it is an
// ordinary close on the GUI thread; nothing ever waits for it.
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QWidget>

namespace quarvex {

class CSplashWnd : public QWidget {
    Q_OBJECT
public:
    // strPicture names a picture file; empty takes the one shipped inside
    // the program.
    explicit CSplashWnd(const QString& strPicture = QString());

    void ShowCentred();

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;

private:
    QPixmap m_picture;
    bool m_bDragging = false;
    QPoint m_dragOffset;  // From the window's corner to the mouse.
};

} // namespace quarvex
