// ConfigDialog.cpp - the settings dialog. Examples are carried by id, so two
// examples with the same name (or none) stay apart.
#include "engine/NetworkSettings.h"
#include "ConfigDialog.h"

#include "AppContext.h"
#include "QtText.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace quarvex {

CConfigDialog::CConfigDialog(CAppContext& context, QWidget* pParent)
    : QDialog(pParent)
    , m_context(context)
{
    setObjectName("138");
    setWindowTitle("参数配置");

    auto* pTabs = new QTabWidget(this);
    auto* pGeneral = new QWidget(pTabs);
    m_pSaveUserName = new QCheckBox("记住我的登录账号", pGeneral);
    m_pSaveUserName->setObjectName("1006");
    m_pSavePassword = new QCheckBox("记住我的登录密码", pGeneral);
    m_pSavePassword->setObjectName("1015");
    m_pAvailable = new QListWidget(pGeneral);
    m_pAvailable->setObjectName("1014");
    m_pChosen = new QListWidget(pGeneral);
    m_pChosen->setObjectName("1016");
    for (QListWidget* pList : { m_pAvailable, m_pChosen }) {
        pList->setSortingEnabled(true);
        pList->setMinimumSize(180, 160);
    }
    auto* pButtonColumn = new QVBoxLayout;
    pButtonColumn->addStretch();
    const struct {
        const char* pszText;
        const char* pszId;
        QListWidget* pFrom;
        QListWidget* pTo;
        bool bAll;
    } aMoves[] = {
        { ">", "1021", m_pAvailable, m_pChosen, false },
        { ">>", "1022", m_pAvailable, m_pChosen, true },
        { "<", "1023", m_pChosen, m_pAvailable, false },
        { "<<", "1024", m_pChosen, m_pAvailable, true },
    };
    for (const auto& move : aMoves) {
        auto* pButton = new QPushButton(move.pszText, pGeneral);
        pButton->setObjectName(move.pszId);
        pButton->setFixedWidth(40);
        pButton->setAutoDefault(false);
        connect(pButton, &QPushButton::clicked, this,
                [pFrom = move.pFrom, pTo = move.pTo, bAll = move.bAll] { Move(pFrom, pTo, bAll); });
        pButtonColumn->addWidget(pButton);
    }
    pButtonColumn->addStretch();

    auto* pGrid = new QGridLayout(pGeneral);
    pGrid->addWidget(m_pSaveUserName, 0, 0);
    pGrid->addWidget(m_pSavePassword, 0, 2);
    pGrid->addWidget(new QLabel("可装载的示例任务：", pGeneral), 1, 0);
    pGrid->addWidget(new QLabel("我要装载的示例任务：", pGeneral), 1, 2);
    pGrid->addWidget(m_pAvailable, 2, 0);
    pGrid->addLayout(pButtonColumn, 2, 1);
    pGrid->addWidget(m_pChosen, 2, 2);
    pTabs->addTab(pGeneral, "常规");

    auto* pAdvanced = new QWidget(pTabs);
    m_pServer = new QLineEdit(pAdvanced);
    m_pServer->setObjectName("server");
    m_pServer->setPlaceholderText("空：使用本机任务库");
    m_pHelpUrl = new QLineEdit(pAdvanced);
    m_pHelpUrl->setObjectName("helpurl");
    m_pHelpUrl->setPlaceholderText(DEFAULT_HELP_URL);
    auto* pForm = new QFormLayout(pAdvanced);
    pForm->addRow("任务库地址：", m_pServer);
    pForm->addRow(new QLabel("格式为 主机[:端口] 或 https://主机[:端口]", pAdvanced));
    pForm->addRow("在线帮助地址：", m_pHelpUrl);
    m_pHostConnections = new QLineEdit(pAdvanced);
    m_pHostConnections->setObjectName(CONFIG_HOSTCONNECTIONS);
    m_pHostConnections->setPlaceholderText("空：2");
    m_pHostInterval = new QLineEdit(pAdvanced);
    m_pHostInterval->setObjectName(CONFIG_HOSTINTERVAL);
    m_pHostInterval->setPlaceholderText("空：0");
    m_pProxy = new QLineEdit(pAdvanced);
    m_pProxy->setObjectName(CONFIG_PROXY);
    m_pProxy->setPlaceholderText("空：不用代理；格式为 http://[用户:密码@]主机:端口");
    pForm->addRow("每个网站同时请求数：", m_pHostConnections);
    pForm->addRow("同一网站请求间隔(毫秒)：", m_pHostInterval);
    pForm->addRow("HTTP代理服务器：", m_pProxy);
    m_pKeepRecords = new QCheckBox("保存已摘取的记录（程序重新启动后不再当作新记录）", pAdvanced);
    m_pKeepRecords->setObjectName(CONFIG_KEEPRECORDS);
    pForm->addRow(m_pKeepRecords);
    pTabs->addTab(pAdvanced, "高级");

    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    pButtons->button(QDialogButtonBox::Ok)->setText("确  定");
    pButtons->button(QDialogButtonBox::Cancel)->setText("取  消");
    connect(pButtons, &QDialogButtonBox::accepted, this, &CConfigDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &CConfigDialog::reject);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(pTabs);
    pLayout->addWidget(pButtons);

    // Opening: a missing file or element reads as empty settings.
    CSettings settings;
    settings.Load(m_context.GetConfigPath());
    m_pSaveUserName->setChecked(settings.GetSaveUserName());
    m_pSavePassword->setChecked(settings.GetSavePassword());
    std::vector<std::string> aChosen;
    for (const std::string& strId : settings.GetExampleTaskIds()) {
        if (std::find(aChosen.begin(), aChosen.end(), strId) != aChosen.end())
            continue;
        for (const StoreExample& example : m_context.m_aExamples) {
            if (example.strId == strId) {
                aChosen.push_back(strId);
                AddExample(m_pChosen, example.strId, example.strName);
                break;
            }
        }
    }
    for (const StoreExample& example : m_context.m_aExamples) {
        if (std::find(aChosen.begin(), aChosen.end(), example.strId) == aChosen.end())
            AddExample(m_pAvailable, example.strId, example.strName);
    }
    m_pServer->setText(ToQString(settings.GetServer()));
    m_pHelpUrl->setText(ToQString(settings.GetGeneralKey(CONFIG_HELPURL)));
    m_pHostConnections->setText(ToQString(settings.GetGeneralKey(CONFIG_HOSTCONNECTIONS)));
    m_pHostInterval->setText(ToQString(settings.GetGeneralKey(CONFIG_HOSTINTERVAL)));
    m_pProxy->setText(ToQString(settings.GetGeneralKey(CONFIG_PROXY)));
    m_pKeepRecords->setChecked(settings.GetGeneralKey(CONFIG_KEEPRECORDS) != "0");
}

void CConfigDialog::AddExample(QListWidget* pList, const std::string& strId, const std::string& strName)
{
    // A nameless example (its definition did not load) still shows its id.
    auto* pItem = new QListWidgetItem(strName.empty() ? ToQString("(" + strId + ")") : ToQString(strName));
    pItem->setData(Qt::UserRole, ToQString(strId));
    pList->addItem(pItem);
}

void CConfigDialog::Move(QListWidget* pFrom, QListWidget* pTo, bool bAll)
{
    QList<QListWidgetItem*> aItems;
    if (bAll) {
        for (int i = 0; i < pFrom->count(); ++i)
            aItems << pFrom->item(i);
    } else if (pFrom->currentItem() != nullptr && pFrom->currentItem()->isSelected()) {
        aItems << pFrom->currentItem();
    }
    for (QListWidgetItem* pItem : aItems)
        pTo->addItem(pFrom->takeItem(pFrom->row(pItem)));
}

void CConfigDialog::accept()
{
    CSettings settings;
    const std::string strPath = m_context.GetConfigPath();
    settings.Load(strPath);
    settings.SetSaveUserName(m_pSaveUserName->isChecked());
    settings.SetSavePassword(m_pSavePassword->isChecked());
    std::vector<std::string> aIds;
    for (int i = 0; i < m_pChosen->count(); ++i)
        aIds.push_back(ToBytes(m_pChosen->item(i)->data(Qt::UserRole).toString()));
    settings.SetExampleTaskIds(aIds);
    // A line break in a key would spoil the file for the next reader.
    settings.SetServer(ToBytes(m_pServer->text().simplified()));
    settings.SetGeneralKey(CONFIG_HELPURL, ToBytes(m_pHelpUrl->text().simplified()));
    settings.SetGeneralKey(CONFIG_HOSTCONNECTIONS, ToBytes(m_pHostConnections->text().simplified()));
    settings.SetGeneralKey(CONFIG_HOSTINTERVAL, ToBytes(m_pHostInterval->text().simplified()));
    settings.SetGeneralKey(CONFIG_PROXY, ToBytes(m_pProxy->text().simplified()));
    // Only "0" turns the kept records off; a file that never named the key
    // keeps not naming it.
    if (!m_pKeepRecords->isChecked())
        settings.SetGeneralKey(CONFIG_KEEPRECORDS, "0");
    else if (settings.GetGeneralKey(CONFIG_KEEPRECORDS) == "0")
        settings.SetGeneralKey(CONFIG_KEEPRECORDS, "1");
    if (!settings.Save(strPath)) {
        QMessageBox::critical(this, APP_TITLE, QString("无法写入配置文件 %1！").arg(ToQString(strPath)));
        return;
    }
    QMessageBox::information(this, APP_TITLE, "参数已更改。要使新的参数生效，请重新启动Quarvex！");
    QDialog::accept();
}

} // namespace quarvex
