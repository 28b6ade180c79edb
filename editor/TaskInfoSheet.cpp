// TaskInfoSheet.cpp - the sheet: its tabs, the leaving checks when the page
// changes, and OK.
#include "TaskInfoSheet.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace quarvex {

CTaskInfoPage::CTaskInfoPage(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc)
    : QWidget(nullptr), m_pSheet(pSheet), m_pDoc(pDoc)
{
}

void CTaskInfoPage::InitOnce()
{
    if (m_bInitialised)
        return;
    m_bInitialised = true;
    OnInit();
}

CTaskInfoSheet::CTaskInfoSheet(QWidget* pParent) : CFocusDialog(pParent)
{
    setWindowTitle(QStringLiteral("新建任务"));
    // Blocks the main window only; the picker's browser, a window of its own,
    // stays usable while the sheet and its node dialogs are open.
    setWindowModality(Qt::WindowModal);
    auto* pLayout = new QVBoxLayout(this);
    m_pTabs = new QTabWidget(this);
    m_pPage1 = new CTaskInfoPage1(this, &m_doc);
    m_pPage2 = new CTaskInfoPage2(this, &m_doc);
    m_pPage3 = new CTaskInfoPage3(this, &m_doc);
    m_pPage4 = new CTaskInfoPage4(this, &m_doc);
    m_pTabs->addTab(m_pPage1, QStringLiteral("常规"));
    m_pTabs->addTab(m_pPage2, QStringLiteral("内容"));
    m_pTabs->addTab(m_pPage3, QStringLiteral("WEB POST"));
    m_pTabs->addTab(m_pPage4, QStringLiteral("数据库"));
    m_apPages = {m_pPage1, m_pPage2, m_pPage3, m_pPage4};
    if (!GetAdvancedKeys().empty()) {
        m_pPageAdvanced = new CTaskInfoPageAdvanced(this, &m_doc);
        m_pTabs->addTab(m_pPageAdvanced, QStringLiteral("高级"));
        m_apPages.push_back(m_pPageAdvanced);
    }
    pLayout->addWidget(m_pTabs);

    // No Apply: the definition changes only when the whole sheet is confirmed.
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    pButtons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    pButtons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    pButtons->button(QDialogButtonBox::Ok)->setObjectName("sheetOk");
    pButtons->button(QDialogButtonBox::Cancel)->setObjectName("sheetCancel");
    pLayout->addWidget(pButtons);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pTabs, &QTabWidget::currentChanged, this, &CTaskInfoSheet::OnCurrentChanged);
    resize(720, 560);
}

CTaskInfoSheet::~CTaskInfoSheet() = default;

void CTaskInfoSheet::LoadDefinition(const CMarkupDoc& def)
{
    m_doc.CopyFrom(def);
}

int CTaskInfoSheet::exec()
{
    Start();
    return CFocusDialog::exec();
}

void CTaskInfoSheet::Start()
{
    if (!m_bStarted) {
        m_bStarted = true;
        // A loaded definition is a task being changed; an empty document
        // is a new task, which starts from an empty <root>.
        if (!m_doc.IsEmpty())
            setWindowTitle(QStringLiteral("任务属性"));
        EnsureTaskRoot(m_doc);
        m_pTabs->setCurrentIndex(0);
        m_nCurrent = 0;
        m_pPage1->InitOnce();
    }
}

void CTaskInfoSheet::OnCurrentChanged(int nIndex)
{
    if (nIndex == m_nCurrent || nIndex < 0)
        return;
    CTaskInfoPage* pOld = m_apPages[static_cast<size_t>(m_nCurrent)];
    if (pOld->IsInitialised() && !pOld->OnKillActive()) {
        // The refused page stays current, with its message already shown.
        const QSignalBlocker blocker(m_pTabs);
        m_pTabs->setCurrentIndex(m_nCurrent);
        return;
    }
    m_nCurrent = nIndex;
    m_apPages[static_cast<size_t>(nIndex)]->InitOnce();
}

bool CTaskInfoSheet::EnterMovesFocus(QWidget* pFocus) const
{
    return m_apPages[static_cast<size_t>(m_nCurrent)]->EnterMovesFocus(pFocus);
}

void CTaskInfoSheet::accept()
{
    if (!m_apPages[static_cast<size_t>(m_nCurrent)]->OnKillActive())
        return;
    // The content page has edited the document in place all along.
    for (CTaskInfoPage* pPage : m_apPages) {
        if (pPage->IsInitialised())
            pPage->WriteTo(m_doc);
    }
    m_pPage2->CancelPreview();
    QDialog::accept();
}

void CTaskInfoSheet::BuildCurrentDefinition(CMarkupDoc& doc) const
{
    doc.CopyFrom(m_doc);
    for (CTaskInfoPage* pPage : m_apPages) {
        if (pPage->IsInitialised())
            pPage->WriteTo(doc);
    }
}

bool EditTaskDefinition(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle)
{
    CTaskInfoSheet sheet(pParent);
    if (!definition.IsEmpty())
        sheet.LoadDefinition(definition);
    sheet.Start();
    if (!strTitle.isEmpty())
        sheet.setWindowTitle(strTitle);
    if (sheet.exec() != QDialog::Accepted)
        return false;
    definition.CopyFrom(sheet.GetDocument());
    return true;
}

} // namespace quarvex
