// BrowserWnd.cpp - the picker's browser window.
#include "BrowserWnd.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace quarvex {

CBrowserWnd::CBrowserWnd(QWidget* pParent)
    : QWidget(pParent, Qt::Window)
{
    setWindowTitle(QStringLiteral("浏览器"));
    m_pBack = new QToolButton(this);
    m_pForward = new QToolButton(this);
    m_pReload = new QToolButton(this);
    m_pBack->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
    m_pForward->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));
    m_pReload->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    m_pBack->setToolTip(QStringLiteral("后退"));
    m_pForward->setToolTip(QStringLiteral("前进"));
    m_pReload->setToolTip(QStringLiteral("刷新"));
    m_pAddress = new QLineEdit(this);
    m_pAddress->setObjectName("address");
    m_pAddress->setPlaceholderText(QStringLiteral("网址"));
    m_pView = new QWebEngineView(this);

    auto* pBar = new QHBoxLayout;
    pBar->setContentsMargins(4, 4, 4, 4);
    pBar->addWidget(m_pBack);
    pBar->addWidget(m_pForward);
    pBar->addWidget(m_pReload);
    pBar->addWidget(m_pAddress, 1);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);
    pLayout->addLayout(pBar);
    pLayout->addWidget(m_pView, 1);
    m_pCheck = new QLabel(this);
    m_pCheck->setObjectName("pathCheck");
    m_pCheck->setWordWrap(true);
    m_pCheck->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pCheck->setContentsMargins(6, 4, 6, 4);
    m_pCheck->hide();
    pLayout->addWidget(m_pCheck);

    m_pBack->setEnabled(false);
    m_pForward->setEnabled(false);
    connect(m_pBack, &QToolButton::clicked, m_pView, &QWebEngineView::back);
    connect(m_pForward, &QToolButton::clicked, m_pView, &QWebEngineView::forward);
    connect(m_pReload, &QToolButton::clicked, m_pView, &QWebEngineView::reload);
    connect(m_pAddress, &QLineEdit::returnPressed, this, &CBrowserWnd::OnAddressEntered);
    connect(m_pView, &QWebEngineView::urlChanged, this, [this](const QUrl& url) {
        m_pAddress->setText(url.toString());
        m_pBack->setEnabled(m_pView->history()->canGoBack());
        m_pForward->setEnabled(m_pView->history()->canGoForward());
    });
    connect(m_pView, &QWebEngineView::titleChanged, this, [this](const QString& strTitle) {
        setWindowTitle(strTitle.isEmpty() ? QStringLiteral("浏览器") : strTitle + QStringLiteral(" - 浏览器"));
    });
    connect(m_pView, &QWebEngineView::loadStarted, this, [this] { m_bLoading = true; });
    connect(m_pView, &QWebEngineView::loadFinished, this, [this](bool bOk) {
        m_bLoading = false;
        m_pBack->setEnabled(m_pView->history()->canGoBack());
        m_pForward->setEnabled(m_pView->history()->canGoForward());
        emit pageLoaded(bOk);
    });
    resize(900, 700);
}

CBrowserWnd::~CBrowserWnd() = default;

void CBrowserWnd::Open(const QString& strAddress)
{
    m_pAddress->setText(strAddress);
    OnAddressEntered();
}

void CBrowserWnd::OnAddressEntered()
{
    const QUrl url = QUrl::fromUserInput(m_pAddress->text().trimmed());
    if (url.isValid())
        m_pView->setUrl(url);
}

bool CBrowserWnd::IsPageWidget(const QWidget* pWidget) const
{
    for (const QWidget* p = pWidget; p != nullptr; p = p->parentWidget()) {
        if (p == m_pView)
            return true;
        if (p->isWindow())
            break;
    }
    return false;
}

QRect CBrowserWnd::GetPageScreenRect() const
{
    return QRect(m_pView->mapToGlobal(QPoint(0, 0)), m_pView->size());
}

void CBrowserWnd::ShowCheck(const QString& strText)
{
    m_pCheck->setText(strText);
    m_pCheck->setVisible(!strText.isEmpty());
}

QString CBrowserWnd::GetCheckText() const
{
    return m_pCheck->text();
}

QUrl CBrowserWnd::GetUrl() const
{
    return m_pView->url();
}

} // namespace quarvex
