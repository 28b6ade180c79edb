// PickerDrag.h - the drag from a picker icon onto the browser window: mouse
// capture, picker cursor, the texts in the target field, the path on release
// and the 600 ms watchdog that ends a drag whose capture was taken away. The
// node dialog owns one and answers its questions through IPickerHost.
#pragma once

#include "PageBridge.h"

#include <QCursor>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QTimer>

#include <optional>

class QWidget;

namespace quarvex {

class CBrowserWnd;

enum EPickTarget {
    PICK_NONE = 0,
    PICK_NODE = 1,      // the node path field
    PICK_SIBLING = 2,   // the sibling path field
};

// What the drag asks of the dialog that holds the icons.
class IPickerHost {
public:
    virtual ~IPickerHost() = default;
    // False in edit mode: pressing an icon then does nothing.
    virtual bool IsPickingEnabled() const = 0;
    // The sibling icon works only with the block type chosen.
    virtual bool IsBlockTypeSelected() const = 0;
    // Writes into the target field and repaints it at once.
    virtual void SetTargetText(EPickTarget nTarget, const QString& strText) = 0;
    // The drag is over: pInfo is the picked element, or null when the release
    // found no browser or no element (the field has been emptied).
    virtual void OnPicked(EPickTarget nTarget, const SPickInfo* pInfo) = 0;
};

class CPickerDrag : public QObject {
    Q_OBJECT
public:
    static constexpr int WATCHDOG_ID = 300;
    static constexpr int WATCHDOG_MS = 600;

    // The icons are watched through event filters; they may be null.
    CPickerDrag(IPickerHost* pHost, QWidget* pNodeIcon, QWidget* pSiblingIcon, QObject* pParent = nullptr);
    ~CPickerDrag() override;

    // The only window that answers as a browser; may change or be null.
    void SetBrowser(CBrowserWnd* pBrowser);
    CBrowserWnd* GetBrowser() const { return m_pBrowser; }

    bool IsDragging() const { return m_nTarget != PICK_NONE; }
    EPickTarget GetTarget() const { return m_nTarget; }
    // The picker cursor, shown while dragging.
    static QCursor PickerCursor();

    // The three steps of a drag, driven by the icons' mouse events; public
    // so that a dialog with its own mouse handling can drive them too.
    bool Press(QWidget* pIcon);
    void MoveTo(const QPoint& globalPos);
    void Release();

signals:
    // The drag has ended, whatever its outcome.
    void finished();

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void OnWatchdog();
    void AskTag();
    void Finish(const SPickInfo* pInfo);
    void RestoreCursor();
    void ForgetBrowserWindow();

    IPickerHost* m_pHost;                 // The dialog; outlives this object.
    QPointer<QWidget> m_pNodeIcon;
    QPointer<QWidget> m_pSiblingIcon;
    QPointer<CBrowserWnd> m_pBrowser;     // Owned by the property sheet.
    CPageBridge m_bridge;
    QTimer m_watchdog;

    EPickTarget m_nTarget = PICK_NONE;    // Whose field the drag fills.
    QPointer<QWidget> m_pCapture;         // The icon holding the mouse capture.
    bool m_bOverBrowser = false;          // The browser window was identified this drag.
    bool m_bReleased = false;             // Waiting for the page's answer after the release.
    QPoint m_lastPos;                     // Screen position of the last move.
    int m_nCursors = 0;                   // Override cursors we pushed.
    bool m_bTagAsked = false;             // A tag query is on its way.
    bool m_bTagAgain = false;             // The cursor moved since it was asked.
    unsigned m_nDrag = 0;                 // Counts drags, so late answers find theirs over.
};

} // namespace quarvex
