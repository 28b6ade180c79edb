// BrowserPicker.cpp - the node dialog's picker over the editor's browser.
#include "BrowserPicker.h"

#include "BrowserWnd.h"

#include "editor/TaskInfoSheet.h"
#include "markup/TaskDef.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>

#include <algorithm>
#include <QLineEdit>
#include <QWebEngineView>

namespace quarvex {

CBrowserPicker::CBrowserPicker(QObject* pParent)
    : QObject(pParent)
{
    connect(&m_job, &CPathCheckJob::checked, this, &CBrowserPicker::OnChecked);
}

CBrowserPicker::~CBrowserPicker()
{
    qApp->removeEventFilter(this);
}

void CBrowserPicker::FollowNodeDialogs()
{
    qApp->installEventFilter(this);
}

bool CBrowserPicker::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() == QEvent::Show) {
        if (auto* pDialog = qobject_cast<CNodeDialog*>(pWatched))
            OnNodeDialogShown(pDialog);
    }
    return QObject::eventFilter(pWatched, pEvent);
}

void CBrowserPicker::OnNodeDialogShown(CNodeDialog* pDialog)
{
    QWidget* pSheet = pDialog->parentWidget() != nullptr ? pDialog->parentWidget()->window() : nullptr;
    if (m_pOwnBrowser == nullptr) {
        m_pOwnBrowser = std::make_unique<CBrowserWnd>();
        SetBrowser(m_pOwnBrowser.get());
    }
    CBrowserWnd* pBrowser = m_pOwnBrowser.get();
    QString strUrl;
    if (pSheet != nullptr) {
        if (auto* pUrl = pSheet->findChild<QLineEdit*>(QStringLiteral("url")))
            strUrl = pUrl->text().trimmed();
    }
    if (pSheet != m_pSheet) {
        // A new sheet: a new task, its own page. The browser goes with it.
        m_pSheet = pSheet;
        if (pSheet != nullptr)
            connect(pSheet, &QObject::destroyed, pBrowser, &QWidget::hide);
        // The check asks for the page as the sheet's task does.
        QPointer<CTaskInfoSheet> pTaskSheet = qobject_cast<CTaskInfoSheet*>(pSheet);
        SetFetcher([pTaskSheet](const std::string& strViewUrl) {
            return pTaskSheet != nullptr ? FetchAsTask(pTaskSheet->GetDocument(), strViewUrl) : FetchByGet(strViewUrl);
        });
        if (!strUrl.isEmpty())
            pBrowser->Open(strUrl);
    } else if (pBrowser->GetUrl().isEmpty() && !strUrl.isEmpty()) {
        pBrowser->Open(strUrl);
    }
    // Beside the dialog, where the drag can reach it.
    const QRect dialogRect = pDialog->frameGeometry();
    pBrowser->move(dialogRect.right() + 12, std::max(0, dialogRect.top()));
    pBrowser->show();
    pBrowser->raise();
}

void CBrowserPicker::SetBrowser(CBrowserWnd* pBrowser)
{
    m_pBrowser = pBrowser;
}

void CBrowserPicker::SetFetcher(std::function<FFetchPage(const std::string&)> fnMake)
{
    m_fnMakeFetch = std::move(fnMake);
}

bool CBrowserPicker::IsOverPage(const QPoint& ptGlobal) const
{
    if (m_pBrowser == nullptr || !m_pBrowser->isVisible())
        return false;
    const QWidget* pUnder = QApplication::widgetAt(ptGlobal);
    return pUnder != nullptr && m_pBrowser->IsPageWidget(pUnder);
}

void CBrowserPicker::HoverAt(const QPoint& ptGlobal, std::function<void(const QString&)> fnAnswer)
{
    if (!IsOverPage(ptGlobal)) {
        if (m_bOutlined && m_pBrowser != nullptr)
            CPageBridge::RemoveOutline(m_pBrowser->GetView());
        m_bOutlined = false;
        fnAnswer(QString());
        return;
    }
    m_ptHover = ptGlobal;
    m_fnHover = std::move(fnAnswer);
    if (m_bHoverAsked) {
        m_bHoverWaiting = true;
        return;
    }
    m_bHoverAsked = true;
    m_bHoverWaiting = false;
    m_bOutlined = true;
    QWebEngineView* pView = m_pBrowser->GetView();
    auto fnThis = std::move(m_fnHover);
    m_fnHover = nullptr;
    m_bridge.Query(pView, pView->mapFromGlobal(ptGlobal), CPageBridge::QUERY_TAG, true,
                   [this, fnThis](std::optional<SPickInfo> info) {
        m_bHoverAsked = false;
        fnThis(info ? QString::fromStdString(info->strReportedTag) : QString());
        if (m_bHoverWaiting && m_fnHover)
            HoverAt(m_ptHover, std::move(m_fnHover));
    });
}

void CBrowserPicker::PickAt(const QPoint& ptGlobal, std::function<void(const QString&)> fnAnswer)
{
    m_bHoverWaiting = false;
    m_fnHover = nullptr;
    if (!IsOverPage(ptGlobal)) {
        if (m_bOutlined && m_pBrowser != nullptr)
            CPageBridge::RemoveOutline(m_pBrowser->GetView());
        m_bOutlined = false;
        fnAnswer(QString());
        return;
    }
    // The dialog's field that waits for this pick, its type and attribute,
    // read from its controls: the check renders the value the node would give.
    QPointer<CNodeDialog> pDialog = qobject_cast<CNodeDialog*>(QApplication::activeModalWidget());
    QPointer<QPlainTextEdit> pField;
    CNodeDialog::ETarget nTarget = CNodeDialog::TARGET_NONE;
    int nType = 1;
    std::string strAttribute;
    if (pDialog != nullptr) {
        auto* pSibling = pDialog->findChild<QPlainTextEdit*>(QStringLiteral("sibling"));
        pField = pSibling != nullptr && pSibling->toPlainText() == QStringLiteral("正在获取兄弟节点路径...")
                     ? pSibling
                     : pDialog->findChild<QPlainTextEdit*>(QStringLiteral("path"));
        nTarget = pField != nullptr && pField->objectName() == QLatin1String("sibling") ? CNodeDialog::TARGET_SIBLING_PATH
                                                                                         : CNodeDialog::TARGET_NODE_PATH;
        for (int i = 0; i < 7; ++i) {
            auto* pButton = pDialog->findChild<QAbstractButton*>(QStringLiteral("type%1").arg(i));
            if (pButton != nullptr && pButton->isChecked())
                nType = i;
        }
        if (auto* pAttribute = pDialog->findChild<QLineEdit*>(QStringLiteral("attribute")))
            strAttribute = pAttribute->text().toStdString();
    }
    QWebEngineView* pView = m_pBrowser->GetView();
    m_bridge.Query(pView, pView->mapFromGlobal(ptGlobal), CPageBridge::QUERY_ELEMENT, false,
                   [this, fnAnswer, pField, pDialog, nTarget, nType, strAttribute](std::optional<SPickInfo> info) {
        if (m_pBrowser != nullptr)
            CPageBridge::RemoveOutline(m_pBrowser->GetView());
        m_bOutlined = false;
        if (!info) {
            fnAnswer(QString());
            return;
        }
        fnAnswer(QString::fromStdString(ReplaceTableTbody(info->picked.strPath)));
        // The check fetches the page text as the task will, off this thread.
        m_pCheckField = pField;
        m_pCheckDialog = pDialog;
        // The address the fetch requests: the task's own when the sheet has
        // one, else the page view's (as FetchAsTask decides).
        m_strCheckUrl = info->strPageUrl;
        if (auto* pTaskSheet = qobject_cast<CTaskInfoSheet*>(m_pSheet.data())) {
            const CMarkupNode* pNetwork = pTaskSheet->GetDocument().FindPath(PATH_NETWORK);
            const char* pszUrl = pNetwork != nullptr ? pNetwork->GetChildValue(KEY_URL) : nullptr;
            if (pszUrl != nullptr && *pszUrl != '\0')
                m_strCheckUrl = pszUrl;
        }
        m_nCheckTarget = nTarget;
        const QString strWait = QStringLiteral("正在用任务的请求获取网页源文本，核对路径...");
        if (m_pBrowser != nullptr)
            m_pBrowser->ShowCheck(strWait);
        if (pDialog != nullptr)
            pDialog->ShowPathCheck(nTarget, strWait, QString());
        FFetchPage fnFetch = m_fnMakeFetch ? m_fnMakeFetch(info->strPageUrl) : FetchByGet(info->strPageUrl);
        m_job.Start(std::move(fnFetch), info->picked, nType, strAttribute);
    });
}

bool CBrowserPicker::GetCheckedPage(const std::string& strUrl, std::string& strPage) const
{
    if (m_strCheckedPage.empty() || strUrl != m_strCheckedUrl)
        return false;
    strPage = m_strCheckedPage;
    return true;
}

void CBrowserPicker::OnChecked()
{
    const SCheckOutcome& outcome = m_job.GetOutcome();
    QString strLine;
    if (outcome.bFetched) {
        m_strCheckedUrl = m_strCheckUrl;
        m_strCheckedPage = outcome.strPage;
    }
    if (!outcome.bFetched) {
        strLine = QStringLiteral("未能核对：取不到网页源文本（%1）。").arg(QString::fromStdString(outcome.strError));
    } else {
        strLine = QString::fromStdString(DescribePathCheck(outcome.check, outcome.picked));
        if (outcome.check.bValueFound)
            strLine += QStringLiteral("\n取值：") + QString::fromStdString(outcome.check.strValue);
        else if (outcome.check.nResult != CHECK_UNCHECKED)
            strLine += QStringLiteral("\n取值：未找到");
        // The field got the path with every tbody dropped; where the page
        // text writes its own tbody the step stays, or the path would miss.
        const std::string strPlain = ReplaceTableTbody(outcome.picked.strPath);
        if (outcome.check.nResult != CHECK_UNCHECKED && outcome.check.strPath != strPlain && m_pCheckField != nullptr
            && m_pCheckField->toPlainText() == QString::fromStdString(strPlain))
            m_pCheckField->setPlainText(QString::fromStdString(outcome.check.strPath));
    }
    if (m_pBrowser != nullptr)
        m_pBrowser->ShowCheck(strLine);
    // The dialog shows it too, and offers our parse's path for the element
    // when the picked one leads elsewhere; the user chooses.
    if (m_pCheckDialog != nullptr) {
        const bool bMoved = outcome.bFetched && outcome.check.nResult == CHECK_MOVED;
        m_pCheckDialog->ShowPathCheck(m_nCheckTarget, strLine,
                                      bMoved ? QString::fromStdString(outcome.check.strMatchPath) : QString());
    }
    emit checked();
}

} // namespace quarvex
