// LoginDlg.cpp - the login and its messages.
#include "LoginDlg.h"

#include "AppContext.h"
#include "QtText.h"
#include "StoreCall.h"
#include "server/StoreServer.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace quarvex {

CLoginDlg::CLoginDlg(CAppContext& context, QWidget* pParent)
    : QDialog(pParent)
    , m_context(context)
{
    setWindowTitle(APP_TITLE);
    setWindowIcon(QIcon(":/quarvex/quarvex.png"));
    m_pName = new QLineEdit(this);
    m_pName->setObjectName("1000");
    m_pPassword = new QLineEdit(this);
    m_pPassword->setObjectName("1001");
    m_pPassword->setEchoMode(QLineEdit::Password);
    for (QLineEdit* pEdit : { m_pName, m_pPassword }) {
        pEdit->setMinimumWidth(200);
        pEdit->setMaxLength(256);
    }
    auto* pForm = new QFormLayout;
    pForm->addRow("登录账号：", m_pName);
    pForm->addRow("登录密码：", m_pPassword);

    auto* pButtons = new QDialogButtonBox(this);
    m_pOk = pButtons->addButton("登录", QDialogButtonBox::AcceptRole);
    m_pOk->setObjectName("IDOK");
    m_pOk->setDefault(true);
    m_pCancel = pButtons->addButton("退出", QDialogButtonBox::RejectRole);
    m_pCancel->setObjectName("IDCANCEL");
    connect(pButtons, &QDialogButtonBox::accepted, this, &CLoginDlg::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &CLoginDlg::reject);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pForm);
    pLayout->addWidget(pButtons);
    setFixedSize(sizeHint());
}

void CLoginDlg::SetUserName(const std::string& strName)
{
    m_pName->setText(ToQString(strName));
}

void CLoginDlg::SetPassword(const std::string& strPassword)
{
    m_pPassword->setText(ToQString(strPassword));
}

std::string CLoginDlg::GetUserName() const
{
    return ToBytes(m_pName->text());
}

std::string CLoginDlg::GetPassword() const
{
    return ToBytes(m_pPassword->text());
}

void CLoginDlg::accept()
{
    const std::string strName = GetUserName();
    const std::string strPassword = GetPassword();
    StoreLogin result = StoreLogin::NETWORK;
    RunOffGuiThread([&] { result = m_context.m_store.Login(strName, strPassword); });
    if (result == StoreLogin::REFUSED && OfferNewAccount(strName, strPassword))
        RunOffGuiThread([&] { result = m_context.m_store.Login(strName, strPassword); });

    switch (result) {
    case StoreLogin::OK:
        m_context.m_strUserName = strName;
        QDialog::accept();
        return;
    case StoreLogin::NETWORK:
        QMessageBox::warning(this, APP_TITLE, ToQString(STORE_MSG_NETWORK));
        break;
    case StoreLogin::REFUSED:
        QMessageBox::warning(this, APP_TITLE, ToQString(STORE_MSG_LOGIN_REFUSED));
        break;
    case StoreLogin::UNEXPECTED:
        break;
    }
    m_pPassword->setFocus();
    m_pPassword->selectAll();
}

bool CLoginDlg::OfferNewAccount(const std::string& strName, const std::string& strPassword)
{
    CStoreServer* pStore = m_context.GetEmbedded();
    if (pStore == nullptr || strName.empty() || strPassword.empty() ||
        strName == CStoreService::EXAMPLE_ACCOUNT || pStore->GetService().GetDb().FindAccount(strName))
        return false;
    const QString strQuestion =
        QString("本机任务库中没有账号 %1。要用输入的密码创建这个账号吗？").arg(ToQString(strName));
    QMessageBox box(QMessageBox::Warning, APP_TITLE, strQuestion, QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    if (box.exec() != QMessageBox::Yes)
        return false;
    bool bAdded = false;
    std::string strError;
    RunOffGuiThread([&] { bAdded = pStore->GetService().AddUser(strName, strPassword, strError); });
    if (!bAdded)
        QMessageBox::critical(this, APP_TITLE, QString("创建账号失败：%1").arg(ToQString(strError)));
    return bAdded;
}

} // namespace quarvex
