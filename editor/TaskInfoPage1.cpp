// TaskInfoPage1.cpp - the General page (常规).
#include "TaskInfoSheet.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QTableWidget>

#include "SmallDialogs.h"

namespace quarvex {

namespace {

enum { CMD_ADD = 10001, CMD_MODIFY = 10002, CMD_DELETE = 10003 };

QTableWidget* MakeNameValueTable(QWidget* pParent, const char* pszName, const QString& first, int nFirst,
                                 const QString& second, int nSecond)
{
    auto* pTable = new QTableWidget(0, 2, pParent);
    pTable->setObjectName(pszName);
    pTable->setHorizontalHeaderLabels({first, second});
    pTable->setColumnWidth(0, nFirst);
    pTable->setColumnWidth(1, nSecond);
    pTable->horizontalHeader()->setStretchLastSection(true);
    pTable->verticalHeader()->hide();
    pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pTable->setShowGrid(true);
    pTable->setContextMenuPolicy(Qt::CustomContextMenu);
    return pTable;
}

} // namespace

CTaskInfoPage1::CTaskInfoPage1(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc) : CTaskInfoPage(pSheet, pDoc)
{
    auto* pGrid = new QGridLayout(this);
    int nRow = 0;
    m_pTaskName = new QLineEdit(this);
    m_pTaskName->setObjectName("taskName");
    pGrid->addWidget(new QLabel(QStringLiteral("任务名称："), this), nRow, 0);
    pGrid->addWidget(m_pTaskName, nRow++, 1, 1, 3);

    m_pPeriod = new QLineEdit(this);
    m_pPeriod->setObjectName("period");
    m_pAutoLoad = new QCheckBox(QStringLiteral("程序启动后自动运行"), this);
    m_pAutoLoad->setObjectName("autoLoad");
    pGrid->addWidget(new QLabel(QStringLiteral("刷新频率(秒)："), this), nRow, 0);
    pGrid->addWidget(m_pPeriod, nRow, 1);
    pGrid->addWidget(m_pAutoLoad, nRow++, 2, 1, 2);

    m_pUrl = new QLineEdit(this);
    m_pUrl->setObjectName("url");
    pGrid->addWidget(new QLabel(QStringLiteral("目标网址："), this), nRow, 0);
    pGrid->addWidget(m_pUrl, nRow++, 1, 1, 3);
    m_pRefUrl = new QLineEdit(this);
    m_pRefUrl->setObjectName("refUrl");
    pGrid->addWidget(new QLabel(QStringLiteral("引用网址："), this), nRow, 0);
    pGrid->addWidget(m_pRefUrl, nRow++, 1, 1, 3);

    m_pGet = new QRadioButton(QStringLiteral("GET"), this);
    m_pPost = new QRadioButton(QStringLiteral("POST"), this);
    m_pGet->setObjectName("get");
    m_pPost->setObjectName("post");
    auto* pMethods = new QHBoxLayout;
    pMethods->addWidget(m_pGet);
    pMethods->addWidget(m_pPost);
    pMethods->addStretch();
    pGrid->addWidget(new QLabel(QStringLiteral("HTTP方法："), this), nRow, 0);
    pGrid->addLayout(pMethods, nRow++, 1, 1, 3);

    m_pAuth = new QCheckBox(QStringLiteral("需要身份验证"), this);
    m_pAuth->setObjectName("auth");
    pGrid->addWidget(m_pAuth, nRow++, 0, 1, 2);
    m_pAuthName = new QLineEdit(this);
    m_pAuthName->setObjectName("authName");
    m_pAuthPass = new QLineEdit(this);
    m_pAuthPass->setObjectName("authPass");
    m_pAuthPass->setEchoMode(QLineEdit::Password);
    m_pShowPass = new QCheckBox(QStringLiteral("显示密码"), this);
    m_pShowPass->setObjectName("showPass");
    pGrid->addWidget(new QLabel(QStringLiteral("登录名称："), this), nRow, 0);
    pGrid->addWidget(m_pAuthName, nRow++, 1);
    pGrid->addWidget(new QLabel(QStringLiteral("登录密码："), this), nRow, 0);
    pGrid->addWidget(m_pAuthPass, nRow, 1);
    pGrid->addWidget(m_pShowPass, nRow++, 2);

    pGrid->addWidget(new QLabel(QStringLiteral("参数(在下表中点鼠标右键进行增删改)："), this), nRow++, 0, 1, 4);
    m_pParams = MakeNameValueTable(this, "params", QStringLiteral("参数名"), 140, QStringLiteral("参数值"), 360);
    pGrid->addWidget(m_pParams, nRow++, 0, 1, 4);
    pGrid->setColumnStretch(3, 1);
    pGrid->setRowStretch(nRow - 1, 1);

    m_pUrl->installEventFilter(this);
    connect(m_pAuth, &QCheckBox::toggled, this, [this] { EnableAuth(); });
    connect(m_pShowPass, &QCheckBox::toggled, this, [this](bool bShow) {
        m_pAuthPass->setEchoMode(bShow ? QLineEdit::Normal : QLineEdit::Password);
    });
    connect(m_pParams, &QTableWidget::customContextMenuRequested, this, &CTaskInfoPage1::ShowParamMenu);
    connect(m_pParams, &QTableWidget::cellDoubleClicked, this, [this](int nRow) { ModifyParam(nRow); });
}

void CTaskInfoPage1::OnInit()
{
    SGeneralPage page;
    ReadGeneralPage(*m_pDoc, page);
    m_pTaskName->setText(ToQ(page.strTaskName));
    m_pPeriod->setText(ToQ(page.strPeriod));
    m_pAutoLoad->setChecked(page.bAutoLoad);
    m_pUrl->setText(ToQ(page.strUrl));
    m_pRefUrl->setText(ToQ(page.strRefUrl));
    (page.nMethod == METHOD_GET ? m_pGet : m_pPost)->setChecked(true);
    m_pAuth->setChecked(page.bAuth);
    m_pAuthName->setText(ToQ(page.strAuthName));
    m_pAuthPass->setText(ToQ(page.strAuthPass));
    EnableAuth();
    SetParams(page.aParams);
    m_pTaskName->selectAll();
    m_pTaskName->setFocus();
}

void CTaskInfoPage1::EnableAuth()
{
    const bool bOn = m_pAuth->isChecked();
    m_pAuthName->setEnabled(bOn);
    m_pAuthPass->setEnabled(bOn);
    m_pShowPass->setEnabled(bOn);
}

void CTaskInfoPage1::SetParams(const std::vector<NameValue>& aParams)
{
    m_pParams->setRowCount(0);
    for (const NameValue& param : aParams) {
        const int nRow = m_pParams->rowCount();
        m_pParams->insertRow(nRow);
        m_pParams->setItem(nRow, 0, new QTableWidgetItem(ToQ(param.strName)));
        m_pParams->setItem(nRow, 1, new QTableWidgetItem(ToQ(param.strValue)));
    }
}

std::vector<NameValue> CTaskInfoPage1::Params() const
{
    std::vector<NameValue> aParams;
    for (int nRow = 0; nRow < m_pParams->rowCount(); ++nRow)
        aParams.push_back({FromQ(m_pParams->item(nRow, 0)->text()), FromQ(m_pParams->item(nRow, 1)->text())});
    return aParams;
}

SGeneralPage CTaskInfoPage1::Collect() const
{
    SGeneralPage page;
    page.strTaskName = FromQ(m_pTaskName->text());
    page.strPeriod = FromQ(m_pPeriod->text());
    page.bAutoLoad = m_pAutoLoad->isChecked();
    page.strUrl = FromQ(m_pUrl->text());
    page.strRefUrl = FromQ(m_pRefUrl->text());
    page.nMethod = m_pGet->isChecked() ? METHOD_GET : METHOD_POST;
    page.bAuth = m_pAuth->isChecked();
    page.strAuthName = FromQ(m_pAuthName->text());
    page.strAuthPass = FromQ(m_pAuthPass->text());
    page.aParams = Params();
    return page;
}

bool CTaskInfoPage1::OnKillActive()
{
    switch (CheckGeneralPage(Collect())) {
    case GENERAL_NO_NAME:
        ShowWarning(nullptr, QStringLiteral("请输入任务名称！"));
        m_pTaskName->setFocus();
        return false;
    case GENERAL_BAD_PERIOD:
        ShowWarning(nullptr, QStringLiteral("请输入刷新频率（合法范围是1~2592000）！"));
        m_pPeriod->setFocus();
        m_pPeriod->selectAll();
        return false;
    case GENERAL_NO_URL:
        ShowWarning(nullptr, QStringLiteral("请输入目标网址！"));
        m_pTaskName->setFocus();
        return false;
    case GENERAL_OK:
        break;
    }
    return true;
}

void CTaskInfoPage1::WriteTo(CMarkupDoc& doc) const
{
    WriteGeneralPage(doc, Collect());
}

bool CTaskInfoPage1::EnterMovesFocus(QWidget* /*pFocus*/) const
{
    return true;
}

bool CTaskInfoPage1::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pWatched == m_pUrl && pEvent->type() == QEvent::FocusOut)
        ImportQuery();
    return CTaskInfoPage::eventFilter(pWatched, pEvent);
}

void CTaskInfoPage1::ImportQuery()
{
    std::string strUrl = FromQ(m_pUrl->text());
    std::vector<NameValue> aParams = Params();
    if (!ImportQueryString(strUrl, aParams))
        return;
    m_pUrl->setText(ToQ(strUrl));
    SetParams(aParams);
}

void CTaskInfoPage1::ShowParamMenu(const QPoint& pt)
{
    QTableWidgetItem* pItem = m_pParams->itemAt(pt);
    const int nRow = pItem != nullptr ? pItem->row() : -1;
    QMenu menu(this);
    QAction* pAdd = menu.addAction(QStringLiteral("添加参数"));
    QAction* pModify = menu.addAction(QStringLiteral("修改参数"));
    QAction* pDelete = menu.addAction(QStringLiteral("删除参数"));
    pModify->setEnabled(nRow >= 0);
    pDelete->setEnabled(nRow >= 0);
    QAction* pChosen = menu.exec(m_pParams->viewport()->mapToGlobal(pt));
    if (pChosen == pAdd)
        RunCommand(CMD_ADD, nRow);
    else if (pChosen == pModify)
        RunCommand(CMD_MODIFY, nRow);
    else if (pChosen == pDelete)
        RunCommand(CMD_DELETE, nRow);
}

void CTaskInfoPage1::RunCommand(int nCommand, int nRow)
{
    if (nCommand == CMD_ADD)
        AddParam();
    else if (nCommand == CMD_MODIFY)
        ModifyParam(nRow);
    else if (nCommand == CMD_DELETE)
        DeleteParam(nRow);
}

void CTaskInfoPage1::AddParam()
{
    CParamDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    std::vector<NameValue> aParams = Params();
    aParams.push_back({dialog.GetName(), dialog.GetValue()});
    SetParams(aParams);
}

void CTaskInfoPage1::ModifyParam(int nRow)
{
    if (nRow < 0 || nRow >= m_pParams->rowCount())
        return;
    CParamDialog dialog(this, FromQ(m_pParams->item(nRow, 0)->text()), FromQ(m_pParams->item(nRow, 1)->text()));
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_pParams->item(nRow, 0)->setText(ToQ(dialog.GetName()));
    m_pParams->item(nRow, 1)->setText(ToQ(dialog.GetValue()));
}

void CTaskInfoPage1::DeleteParam(int nRow)
{
    if (nRow < 0 || nRow >= m_pParams->rowCount())
        return;
    if (AskYesNo(this, QStringLiteral("真的要删除参数 %1 吗？").arg(m_pParams->item(nRow, 0)->text())))
        m_pParams->removeRow(nRow);
}

} // namespace quarvex
