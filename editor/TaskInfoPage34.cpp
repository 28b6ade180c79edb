// TaskInfoPage34.cpp - the WEB POST page, the Database page (数据库) with its
// connection test, and the page of further keys (高级).
#include "TaskInfoSheet.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "SmallDialogs.h"
#include "engine/db/DatabaseSink.h"
#include "platform/ProgramDir.h"

namespace quarvex {

namespace {

enum { CMD_ADD = 10001, CMD_MODIFY = 10002, CMD_DELETE = 10003 };

QLabel* MakeHint(QWidget* pParent, const QString& text)
{
    auto* pLabel = new QLabel(text, pParent);
    pLabel->setWordWrap(true);
    pLabel->setStyleSheet(QStringLiteral("color: #555;"));
    return pLabel;
}

} // namespace

// ---- WEB POST ----

CTaskInfoPage3::CTaskInfoPage3(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc) : CTaskInfoPage(pSheet, pDoc)
{
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(MakeHint(this, QStringLiteral(
        "WEB POST用于向WEB服务器发送摘取下来的内容。启用WEB POST后，每摘取到一条新内容，就马上把该条新内容向指定的URL发送。")));
    m_pWebPost = new QCheckBox(QStringLiteral("启用WEB POST"), this);
    m_pWebPost->setObjectName("webPost");
    pLayout->addWidget(m_pWebPost);
    auto* pGrid = new QGridLayout;
    m_pGet = new QRadioButton(QStringLiteral("GET"), this);
    m_pPost = new QRadioButton(QStringLiteral("POST"), this);
    m_pGet->setObjectName("get");
    m_pPost->setObjectName("post");
    auto* pMethods = new QHBoxLayout;
    pMethods->addWidget(m_pGet);
    pMethods->addWidget(m_pPost);
    pMethods->addStretch();
    pGrid->addWidget(new QLabel(QStringLiteral("提交方法："), this), 0, 0);
    pGrid->addLayout(pMethods, 0, 1);
    m_pUrl = new QLineEdit(this);
    m_pUrl->setObjectName("url");
    pGrid->addWidget(new QLabel(QStringLiteral("提交地址："), this), 1, 0);
    pGrid->addWidget(m_pUrl, 1, 1);
    m_pVar = new QPlainTextEdit(this);
    m_pVar->setObjectName("var");
    m_pVar->setTabChangesFocus(true);
    pGrid->addWidget(new QLabel(QStringLiteral("提交参数："), this), 2, 0, Qt::AlignTop);
    pGrid->addWidget(m_pVar, 2, 1);
    pLayout->addLayout(pGrid, 1);
    pLayout->addWidget(MakeHint(this, QStringLiteral(
        "提交参数的格式：参数名=参数值，多个参数之间用“&”分隔，也可以没有参数。参数值中可以用 <@@节点名称@@> 代表该节点摘取到的内容"
        "（链接文件节点为保存后的文件路径），用 <@#节点名称#@> 代表链接文件节点所保存文件的内容。")));
    connect(m_pWebPost, &QCheckBox::toggled, m_pUrl, &QLineEdit::setEnabled);
}

void CTaskInfoPage3::OnInit()
{
    SWebPostPage page;
    ReadWebPostPage(*m_pDoc, page);
    m_pWebPost->setChecked(page.bWebPost);
    (page.nMethod == METHOD_GET ? m_pGet : m_pPost)->setChecked(true);
    m_pUrl->setText(ToQ(page.strUrl));
    m_pVar->setPlainText(ToQ(page.strVar));
    // Whatever the box shows, the address can be typed on opening.
    m_pUrl->setEnabled(true);
}

SWebPostPage CTaskInfoPage3::Collect() const
{
    SWebPostPage page;
    page.bWebPost = m_pWebPost->isChecked();
    page.nMethod = m_pGet->isChecked() ? METHOD_GET : METHOD_POST;
    page.strUrl = FromQ(m_pUrl->text());
    page.strVar = FromQ(m_pVar->toPlainText());
    return page;
}

bool CTaskInfoPage3::OnKillActive()
{
    switch (CheckWebPostPage(Collect())) {
    case WEBPOST_NO_URL:
        ShowWarning(nullptr, QStringLiteral("请输入提交地址！"));
        m_pUrl->setFocus();
        return false;
    case WEBPOST_NO_VAR:
        ShowWarning(nullptr, QStringLiteral("请输入提交参数！"));
        m_pUrl->setFocus();
        return false;
    case WEBPOST_OK:
        break;
    }
    return true;
}

void CTaskInfoPage3::WriteTo(CMarkupDoc& doc) const
{
    WriteWebPostPage(doc, Collect());
}

// ---- 数据库 ----

CTaskInfoPage4::CTaskInfoPage4(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc) : CTaskInfoPage(pSheet, pDoc)
{
    auto* pLayout = new QVBoxLayout(this);
    auto* pTypes = new QHBoxLayout;
    pTypes->addWidget(new QLabel(QStringLiteral("数据库类型："), this));
    const char* const apszTypes[] = {"SQLite 数据库文件", "ODBC 数据源", "MySQL/MariaDB"};
    auto* pGroup = new QButtonGroup(this);
    for (int i = 0; i < 3; ++i) {
        m_apType[i] = new QRadioButton(QString::fromUtf8(apszTypes[i]), this);
        m_apType[i]->setObjectName(QStringLiteral("dbType%1").arg(i));
        pGroup->addButton(m_apType[i], i);
        pTypes->addWidget(m_apType[i]);
    }
    pTypes->addStretch();
    pLayout->addLayout(pTypes);

    auto* pGrid = new QGridLayout;
    m_pServerLabel = new QLabel(QStringLiteral("数据库文件："), this);
    m_pServer = new QLineEdit(this);
    m_pServer->setObjectName("server");
    m_pBrowse = new QPushButton(QStringLiteral("..."), this);
    m_pBrowse->setObjectName("browse");
    m_pBrowse->setAutoDefault(false);
    m_pBrowse->setFixedWidth(32);
    pGrid->addWidget(m_pServerLabel, 0, 0);
    pGrid->addWidget(m_pServer, 0, 1, 1, 2);
    pGrid->addWidget(m_pBrowse, 0, 3);
    m_pDatabaseLabel = new QLabel(QStringLiteral("数据库密码："), this);
    m_pDatabase = new QLineEdit(this);
    m_pDatabase->setObjectName("database");
    pGrid->addWidget(m_pDatabaseLabel, 1, 0);
    pGrid->addWidget(m_pDatabase, 1, 1, 1, 2);
    m_pAccount = new QLineEdit(this);
    m_pAccount->setObjectName("account");
    m_pPassword = new QLineEdit(this);
    m_pPassword->setObjectName("password");
    m_pPassword->setEchoMode(QLineEdit::Password);
    pGrid->addWidget(new QLabel(QStringLiteral("登录账号："), this), 2, 0);
    pGrid->addWidget(m_pAccount, 2, 1);
    pGrid->addWidget(new QLabel(QStringLiteral("登录密码："), this), 3, 0);
    pGrid->addWidget(m_pPassword, 3, 1);
    pGrid->addWidget(MakeHint(this, QStringLiteral("提示：SQLite 数据库文件不需要数据库密码、登录账号和登录密码；"
                                                   "ODBC 数据源的服务器地址可以是数据源名称（DSN），也可以是完整的连接字符串。")),
                     2, 2, 2, 2);
    m_pTest = new QPushButton(QStringLiteral("连接测试"), this);
    m_pTest->setObjectName("test");
    m_pTest->setAutoDefault(false);
    pGrid->addWidget(m_pTest, 4, 1, Qt::AlignLeft);
    pGrid->setColumnStretch(2, 1);
    pLayout->addLayout(pGrid);

    m_pSaveToDb = new QCheckBox(QStringLiteral("摘取到新内容后把内容保存到数据库中"), this);
    m_pSaveToDb->setObjectName("saveToDb");
    pLayout->addWidget(m_pSaveToDb);
    auto* pTableRow = new QHBoxLayout;
    m_pTable = new QLineEdit(this);
    m_pTable->setObjectName("table");
    pTableRow->addWidget(new QLabel(QStringLiteral("数据库表名："), this));
    pTableRow->addWidget(m_pTable);
    pTableRow->addWidget(MakeHint(this, QStringLiteral("字段值中 <@@节点名称@@> 代表该节点的内容，"
                                                       "<@#节点名称#@> 代表链接文件的内容。")), 1);
    pLayout->addLayout(pTableRow);
    pLayout->addWidget(new QLabel(QStringLiteral("数据库字段："), this));
    m_pFields = new QTableWidget(0, 2, this);
    m_pFields->setObjectName("fields");
    m_pFields->setHorizontalHeaderLabels({QStringLiteral("字段名"), QStringLiteral("字段值")});
    m_pFields->setColumnWidth(0, 140);
    m_pFields->setColumnWidth(1, 290);
    m_pFields->horizontalHeader()->setStretchLastSection(true);
    m_pFields->verticalHeader()->hide();
    m_pFields->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pFields->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pFields->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pFields->setContextMenuPolicy(Qt::CustomContextMenu);
    pLayout->addWidget(m_pFields, 1);

    connect(pGroup, &QButtonGroup::idClicked, this, [this](int nType) {
        SetType(nType);
        // Through the second field, so that its new echo mode is drawn.
        m_pDatabase->setFocus();
        m_pServer->setFocus();
    });
    connect(m_pBrowse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(
            this, QString(), m_pServer->text(),
            QStringLiteral("SQLite 数据库 (*.db *.sqlite *.sqlite3);;所有文件 (*)"));
        if (!file.isEmpty())
            m_pServer->setText(file);
    });
    connect(m_pTest, &QPushButton::clicked, this, &CTaskInfoPage4::StartTest);
    connect(m_pFields, &QTableWidget::customContextMenuRequested, this, &CTaskInfoPage4::ShowFieldMenu);
    connect(m_pFields, &QTableWidget::cellDoubleClicked, this, [this](int nRow) { RunCommand(CMD_MODIFY, nRow); });
}

CTaskInfoPage4::~CTaskInfoPage4()
{
    // A test in progress ends within the back-end's own time limit; its
    // answer is dropped with the page, so the wait cursor is given back here.
    if (m_testThread.joinable()) {
        m_testThread.join();
        QApplication::restoreOverrideCursor();
    }
}

void CTaskInfoPage4::SetType(int nType)
{
    m_nType = nType;
    const bool bFile = nType == DB_ACCESS;
    m_pBrowse->setVisible(bFile);
    m_pServerLabel->setText(bFile ? QStringLiteral("数据库文件：") : QStringLiteral("服务器地址："));
    m_pDatabaseLabel->setText(bFile ? QStringLiteral("数据库密码：") : QStringLiteral("数据库名称："));
    m_pDatabase->setEchoMode(bFile ? QLineEdit::Password : QLineEdit::Normal);
}

void CTaskInfoPage4::OnInit()
{
    SDatabasePage page;
    ReadDatabasePage(*m_pDoc, page);
    // A type this page does not offer is kept as it is; the first layout is
    // the one that fits it best (the engine connects like MySQL).
    m_nType = page.nType;
    if (page.nType >= 0 && page.nType < 3)
        m_apType[page.nType]->setChecked(true);
    SetType(page.nType);
    m_nType = page.nType;
    m_pServer->setText(ToQ(page.strServer));
    m_pDatabase->setText(ToQ(page.strDatabase));
    m_pAccount->setText(ToQ(page.strAccount));
    m_pPassword->setText(ToQ(page.strPassword));
    m_pTable->setText(ToQ(page.strTable));
    m_pSaveToDb->setChecked(page.bSaveToDb);
    m_pFields->setRowCount(0);
    for (const NameValue& field : page.aFields) {
        const int nRow = m_pFields->rowCount();
        m_pFields->insertRow(nRow);
        m_pFields->setItem(nRow, 0, new QTableWidgetItem(ToQ(field.strName)));
        m_pFields->setItem(nRow, 1, new QTableWidgetItem(ToQ(field.strValue)));
    }
    if (page.nType != DB_ACCESS)
        m_pServer->setFocus();
}

SDatabasePage CTaskInfoPage4::Collect() const
{
    SDatabasePage page;
    page.nType = m_nType;
    page.strServer = FromQ(m_pServer->text());
    page.strDatabase = FromQ(m_pDatabase->text());
    page.strAccount = FromQ(m_pAccount->text());
    page.strPassword = FromQ(m_pPassword->text());
    page.bSaveToDb = m_pSaveToDb->isChecked();
    page.strTable = FromQ(m_pTable->text());
    for (int nRow = 0; nRow < m_pFields->rowCount(); ++nRow)
        page.aFields.push_back({FromQ(m_pFields->item(nRow, 0)->text()), FromQ(m_pFields->item(nRow, 1)->text())});
    return page;
}

void CTaskInfoPage4::WriteTo(CMarkupDoc& doc) const
{
    WriteDatabasePage(doc, Collect());
}

bool CTaskInfoPage4::EnterMovesFocus(QWidget* pFocus) const
{
    // Enter in the table name, or on a button, presses OK.
    return pFocus != m_pTable && qobject_cast<QPushButton*>(pFocus) == nullptr;
}

void CTaskInfoPage4::ShowFieldMenu(const QPoint& pt)
{
    QTableWidgetItem* pItem = m_pFields->itemAt(pt);
    const int nRow = pItem != nullptr ? pItem->row() : -1;
    QMenu menu(this);
    QAction* pAdd = menu.addAction(QStringLiteral("添加字段"));
    QAction* pModify = menu.addAction(QStringLiteral("修改字段"));
    QAction* pDelete = menu.addAction(QStringLiteral("删除字段"));
    pModify->setEnabled(nRow >= 0);
    pDelete->setEnabled(nRow >= 0);
    QAction* pChosen = menu.exec(m_pFields->viewport()->mapToGlobal(pt));
    if (pChosen == pAdd)
        RunCommand(CMD_ADD, nRow);
    else if (pChosen == pModify)
        RunCommand(CMD_MODIFY, nRow);
    else if (pChosen == pDelete)
        RunCommand(CMD_DELETE, nRow);
}

void CTaskInfoPage4::RunCommand(int nCommand, int nRow)
{
    const bool bRow = nRow >= 0 && nRow < m_pFields->rowCount();
    if (nCommand == CMD_ADD) {
        CMarkupDoc def;
        m_pSheet->BuildCurrentDefinition(def);
        CFieldDialog dialog(this, BuildValueChoices(def));
        if (dialog.exec() != QDialog::Accepted || dialog.GetName().empty())
            return;
        const int nNew = m_pFields->rowCount();
        m_pFields->insertRow(nNew);
        m_pFields->setItem(nNew, 0, new QTableWidgetItem(ToQ(dialog.GetName())));
        m_pFields->setItem(nNew, 1, new QTableWidgetItem(ToQ(dialog.GetValue())));
    } else if (nCommand == CMD_MODIFY && bRow) {
        CMarkupDoc def;
        m_pSheet->BuildCurrentDefinition(def);
        CFieldDialog dialog(this, BuildValueChoices(def), FromQ(m_pFields->item(nRow, 0)->text()),
                            FromQ(m_pFields->item(nRow, 1)->text()));
        if (dialog.exec() != QDialog::Accepted)
            return;
        m_pFields->item(nRow, 0)->setText(ToQ(dialog.GetName()));
        m_pFields->item(nRow, 1)->setText(ToQ(dialog.GetValue()));
    } else if (nCommand == CMD_DELETE && bRow) {
        if (AskYesNo(this, QStringLiteral("真的要删除字段 %1 吗？").arg(m_pFields->item(nRow, 0)->text())))
            m_pFields->removeRow(nRow);
    }
}

void CTaskInfoPage4::StartTest()
{
    if (m_testThread.joinable())
        return;
    CDbSettings settings;
    settings.m_nType = m_nType;
    settings.m_strServer = FromQ(m_pServer->text());
    settings.m_strDatabase = FromQ(m_pDatabase->text());
    settings.m_strAccount = FromQ(m_pAccount->text());
    settings.m_strPassword = FromQ(m_pPassword->text());
    settings.m_strProgramDir = GetProgramDir();
    m_pTest->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // Off the GUI thread: a server that never answers holds only this
    // thread, for the back-end's 30 seconds at most.
    m_testThread = std::thread([this, settings] {
        std::string strReason;
        const bool bOk = TestDatabaseConnection(settings, strReason);
        QMetaObject::invokeMethod(this, [this, bOk, strReason] { OnTestDone(bOk, strReason); },
                                  Qt::QueuedConnection);
    });
}

void CTaskInfoPage4::OnTestDone(bool bOk, const std::string& strReason)
{
    if (m_testThread.joinable())
        m_testThread.join();
    QApplication::restoreOverrideCursor();
    m_pTest->setEnabled(true);
    if (bOk)
        ShowWarning(nullptr, QStringLiteral("连接成功！"));
    else if (!strReason.empty())
        ShowWarning(nullptr, QStringLiteral("连接失败！原因：%1").arg(ToQ(strReason)));
    else
        ShowWarning(nullptr, QStringLiteral("连接失败！"));
}

// ---- 高级 ----

CTaskInfoPageAdvanced::CTaskInfoPageAdvanced(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc) : CTaskInfoPage(pSheet, pDoc)
{
    auto* pLayout = new QVBoxLayout(this);
    auto* pForm = new QFormLayout;
    auto* pRecordForm = new QFormLayout;
    for (const SAdvancedKey& key : GetAdvancedKeys()) {
        auto* pEdit = new QLineEdit(this);
        pEdit->setObjectName(QString::fromUtf8(key.pszKey));
        pEdit->setPlaceholderText(QString::fromUtf8(key.pszHint));
        pEdit->setToolTip(QString::fromUtf8(key.pszHint));
        (key.bRecords ? pRecordForm : pForm)->addRow(QString::fromUtf8(key.pszLabel), pEdit);
        m_apValues.push_back(pEdit);
    }
    m_pHeaders = new QPlainTextEdit(this);
    m_pHeaders->setObjectName("headers");
    m_pHeaders->setTabChangesFocus(true);
    m_pHeaders->setPlaceholderText(QStringLiteral("每行一个，例如  Accept-Language: zh-CN"));
    pForm->addRow(QStringLiteral("请求头："), m_pHeaders);
    pLayout->addLayout(pForm);
    pLayout->addWidget(MakeHint(this, QStringLiteral("这些设置用于页面请求、链接网页和链接文件。Host、Content-Length、"
                                                     "Transfer-Encoding和Connection不能由任务设置。")));
    if (pRecordForm->rowCount() > 0) {
        auto* pRecords = new QGroupBox(QStringLiteral("已保存的记录"), this);
        pRecords->setLayout(pRecordForm);
        pLayout->addWidget(pRecords);
        pLayout->addWidget(MakeHint(this, QStringLiteral("已保存的记录在程序重新启动后仍然保留，只有真正的新记录才被"
                                                         "当作新记录处理。没有关键字段的任务不检测变化。")));
    } else {
        delete pRecordForm;
    }
    pLayout->addStretch();
}

void CTaskInfoPageAdvanced::OnInit()
{
    SAdvancedPage page;
    ReadAdvancedPage(*m_pDoc, page);
    for (size_t i = 0; i < m_apValues.size() && i < page.aValues.size(); ++i)
        m_apValues[i]->setText(ToQ(page.aValues[i]));
    m_pHeaders->setPlainText(ToQ(FormatHeaderLines(page.aHeaders)));
}

void CTaskInfoPageAdvanced::WriteTo(CMarkupDoc& doc) const
{
    SAdvancedPage page;
    for (QLineEdit* pEdit : m_apValues)
        page.aValues.push_back(FromQ(pEdit->text()));
    page.aHeaders = ParseHeaderLines(FromQ(m_pHeaders->toPlainText()));
    WriteAdvancedPage(doc, page);
}

} // namespace quarvex
