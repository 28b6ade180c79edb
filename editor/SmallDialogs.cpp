// SmallDialogs.cpp - CParamDialog and CFieldDialog.
#include "SmallDialogs.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quarvex {

namespace {

// "确  定" / "取  消" under the fields; OK is the default button.
QPushButton* AddButtons(QDialog* pDialog, QVBoxLayout* pLayout)
{
    auto* pRow = new QHBoxLayout;
    pRow->addStretch();
    auto* pOk = new QPushButton(QStringLiteral("确  定"), pDialog);
    auto* pCancel = new QPushButton(QStringLiteral("取  消"), pDialog);
    pOk->setObjectName("ok");
    pCancel->setObjectName("cancel");
    pOk->setDefault(true);
    pRow->addWidget(pOk);
    pRow->addWidget(pCancel);
    pLayout->addLayout(pRow);
    QObject::connect(pOk, &QPushButton::clicked, pDialog, &QDialog::accept);
    QObject::connect(pCancel, &QPushButton::clicked, pDialog, &QDialog::reject);
    return pOk;
}

} // namespace

CParamDialog::CParamDialog(QWidget* pParent, const std::string& strName, const std::string& strValue)
    : CFocusDialog(pParent)
{
    setWindowTitle(QStringLiteral("添加参数"));
    auto* pLayout = new QVBoxLayout(this);
    auto* pForm = new QFormLayout;
    m_pName = new QLineEdit(this);
    m_pValue = new QLineEdit(this);
    m_pName->setObjectName("name");
    m_pValue->setObjectName("value");
    m_pName->setMinimumWidth(260);
    pForm->addRow(QStringLiteral("参数名："), m_pName);
    pForm->addRow(QStringLiteral("参数值："), m_pValue);
    pLayout->addLayout(pForm);
    m_pOk = AddButtons(this, pLayout);
    if (!strName.empty()) {
        setWindowTitle(QStringLiteral("修改参数"));
        m_pName->setText(ToQ(strName));
        m_pValue->setText(ToQ(strValue));
        m_pName->selectAll();
    }
    m_pName->setFocus();
}

std::string CParamDialog::GetName() const { return FromQ(m_pName->text()); }
std::string CParamDialog::GetValue() const { return FromQ(m_pValue->text()); }

bool CParamDialog::EnterMovesFocus(QWidget* pFocus) const
{
    return pFocus != m_pOk;
}

void CParamDialog::accept()
{
    if (m_pName->text().isEmpty()) {
        ShowWarning(this, QStringLiteral("请输入参数名！"));
        m_pName->setFocus();
        return;
    }
    QDialog::accept();
}

CFieldDialog::CFieldDialog(QWidget* pParent, const std::vector<std::string>& aChoices, const std::string& strName,
                           const std::string& strValue)
    : CFocusDialog(pParent)
{
    setWindowTitle(QStringLiteral("添加字段"));
    auto* pLayout = new QVBoxLayout(this);
    auto* pForm = new QFormLayout;
    m_pName = new QLineEdit(this);
    m_pValue = new QComboBox(this);
    m_pName->setObjectName("name");
    m_pValue->setObjectName("value");
    m_pValue->setEditable(true);
    m_pValue->setInsertPolicy(QComboBox::NoInsert);
    m_pValue->setMinimumWidth(260);
    for (const std::string& strChoice : aChoices)
        m_pValue->addItem(ToQ(strChoice));
    m_pValue->setCurrentIndex(-1);
    m_pValue->setEditText(QString());
    pForm->addRow(QStringLiteral("字段名："), m_pName);
    pForm->addRow(QStringLiteral("字段值："), m_pValue);
    pLayout->addLayout(pForm);
    AddButtons(this, pLayout);
    if (!strName.empty()) {
        setWindowTitle(QStringLiteral("修改字段"));
        m_pName->setText(ToQ(strName));
        m_pValue->setEditText(ToQ(strValue));
    }
    m_pName->selectAll();
    m_pName->setFocus();
}

std::string CFieldDialog::GetName() const { return FromQ(m_pName->text()); }
std::string CFieldDialog::GetValue() const { return FromQ(m_pValue->currentText()); }

void CFieldDialog::accept()
{
    if (m_pName->text().isEmpty()) {
        ShowWarning(nullptr, QStringLiteral("字段名不能为空！"));
        m_pName->setFocus();
        return;
    }
    QDialog::accept();
}

} // namespace quarvex
