// BrowserPicker.h - the picker behind the node dialog's icons: it finds the
// editor's browser window under the cursor, asks its page for the element
// there, and checks every pick against our own parse of the page text
// fetched as the task will fetch it.
#pragma once

#include "BrowserWnd.h"
#include "PageBridge.h"
#include "PathCheckJob.h"

#include "editor/NodeDialog.h"

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>

#include <memory>

namespace quarvex {


class CBrowserPicker : public QObject, public INodePicker {
    Q_OBJECT
public:
    explicit CBrowserPicker(QObject* pParent = nullptr);
    ~CBrowserPicker() override;

    // The only window that answers as a browser; not owned, may be null.
    void SetBrowser(CBrowserWnd* pBrowser);
    CBrowserWnd* GetBrowser() const { return m_pBrowser; }
    // How a pick's page text is fetched: given the page view's address,
    // returns the fetch (the task's own request when it has an address,
    // otherwise a GET of the view's address). Unset: a GET of the view's
    // address.
    void SetFetcher(std::function<FFetchPage(const std::string& strViewUrl)> fnMake);

    // Opens the browser window beside every node dialog that is shown, on
    // the task's address when the sheet has one; the window is made on first
    // use, kept on its page across the node dialogs of one sheet, and hidden
    // with the sheet. The check then fetches as the sheet's task would.
    void FollowNodeDialogs();

    void HoverAt(const QPoint& ptGlobal, std::function<void(const QString& strTag)> fnAnswer) override;
    void PickAt(const QPoint& ptGlobal, std::function<void(const QString& strPath)> fnAnswer) override;
    bool GetCheckedPage(const std::string& strUrl, std::string& strPage) const override;

    // The last check's outcome, valid after checked().
    const SCheckOutcome& GetOutcome() const { return m_job.GetOutcome(); }

signals:
    // A pick has been checked; the browser window shows the outcome.
    void checked();

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void OnNodeDialogShown(CNodeDialog* pDialog);
    bool IsOverPage(const QPoint& ptGlobal) const;
    void OnChecked();

    QPointer<CBrowserWnd> m_pBrowser;
    std::unique_ptr<CBrowserWnd> m_pOwnBrowser;  // Made by FollowNodeDialogs.
    QPointer<QWidget> m_pSheet;                  // The sheet the browser serves.
    CPageBridge m_bridge;
    CPathCheckJob m_job;
    std::function<FFetchPage(const std::string&)> m_fnMakeFetch;
    bool m_bOutlined = false;
    // Hover queries are folded: while one is out, only the latest move waits.
    bool m_bHoverAsked = false;
    bool m_bHoverWaiting = false;
    QPoint m_ptHover;
    std::function<void(const QString&)> m_fnHover;
    QPointer<QPlainTextEdit> m_pCheckField;  // The dialog field the running check answers.
    QPointer<CNodeDialog> m_pCheckDialog;    // The dialog that shows the running check.
    CNodeDialog::ETarget m_nCheckTarget = CNodeDialog::TARGET_NONE;
    std::string m_strCheckUrl;    // The address the running check requests.
    std::string m_strCheckedUrl;  // The last fetched page text and its address.
    std::string m_strCheckedPage;
};

} // namespace quarvex
