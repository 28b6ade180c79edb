// BrowserWnd.h - the editor's own browser: a page view with an address bar,
// back, forward and reload. Its page view is the one window under the cursor
// that answers the picker as a browser. A window of its own (no parent), so a
// modal node dialog over the property sheet does not block it.
#pragma once

#include <QPointer>
#include <QUrl>
#include <QWidget>

class QLabel;
class QLineEdit;
class QToolButton;
class QWebEngineView;

namespace quarvex {

class CBrowserWnd : public QWidget {
    Q_OBJECT
public:
    explicit CBrowserWnd(QWidget* pParent = nullptr);
    ~CBrowserWnd() override;

    // Loads strAddress as typed (a bare host gets http://).
    void Open(const QString& strAddress);
    QWebEngineView* GetView() const { return m_pView; }
    // True when pWidget is the page view or inside it.
    bool IsPageWidget(const QWidget* pWidget) const;
    // The page view's rectangle in screen coordinates.
    QRect GetPageScreenRect() const;
    // Whether a navigation is in progress (started and not yet finished).
    bool IsLoading() const { return m_bLoading; }
    QUrl GetUrl() const;
    // The line under the page that says what the check of the last pick
    // against the page text found.
    void ShowCheck(const QString& strText);
    QString GetCheckText() const;

signals:
    void pageLoaded(bool bOk);

private:
    void OnAddressEntered();

    QLineEdit* m_pAddress = nullptr;
    QToolButton* m_pBack = nullptr;
    QToolButton* m_pForward = nullptr;
    QToolButton* m_pReload = nullptr;
    QWebEngineView* m_pView = nullptr;
    QLabel* m_pCheck = nullptr;
    bool m_bLoading = false;
};

} // namespace quarvex
