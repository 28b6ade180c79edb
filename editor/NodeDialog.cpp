// NodeDialog.cpp - CNodeDialog: fields, type layout, the picker drag and OK.
#include "NodeDialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include "markup/TaskDef.h"
#include "platform/ProgramDir.h"

namespace quarvex {

namespace {

INodePicker* g_pPicker = nullptr;

constexpr int SPLITTER_WIDTH = 62;
constexpr int DIRECTORY_WIDTH = 200;

// The picker icon: a target drawn in code, so no image file has to travel
// with the program.
QPixmap PickerPixmap()
{
    QPixmap pixmap(28, 28);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(30, 90, 200), 2));
    painter.drawEllipse(QPointF(14, 14), 9, 9);
    painter.drawEllipse(QPointF(14, 14), 3, 3);
    painter.drawLine(14, 1, 14, 8);
    painter.drawLine(14, 20, 14, 27);
    painter.drawLine(1, 14, 8, 14);
    painter.drawLine(20, 14, 27, 14);
    return pixmap;
}

QLabel* MakePickerIcon(QWidget* pParent, const char* pszName, const QString& tip)
{
    auto* pIcon = new QLabel(pParent);
    pIcon->setObjectName(pszName);
    pIcon->setPixmap(PickerPixmap());
    pIcon->setFixedSize(32, 32);
    pIcon->setAlignment(Qt::AlignCenter);
    pIcon->setFrameShape(QFrame::StyledPanel);
    pIcon->setToolTip(tip);
    pIcon->setCursor(Qt::CrossCursor);
    return pIcon;
}

QPlainTextEdit* MakePathEdit(QWidget* pParent, const char* pszName)
{
    auto* pEdit = new QPlainTextEdit(pParent);
    pEdit->setObjectName(pszName);
    pEdit->setTabChangesFocus(true);
    pEdit->setFixedHeight(pEdit->fontMetrics().lineSpacing() * 3 + 10);
    return pEdit;
}

// A path never holds a line break; one typed or pasted into the multi-line
// field is dropped.
std::string PathText(const QPlainTextEdit* pEdit)
{
    QString text = pEdit->toPlainText();
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char('\n'));
    return FromQ(text);
}

} // namespace

void CNodeDialog::SetPicker(INodePicker* pPicker) { g_pPicker = pPicker; }
INodePicker* CNodeDialog::GetPicker() { return g_pPicker; }

CNodeDialog::CNodeDialog(QWidget* pParent, const SNodeFields& fields)
    : CFocusDialog(pParent), m_fields(fields), m_bEditMode(!fields.strPath.empty())
{
    setWindowTitle(m_bEditMode ? QStringLiteral("修改节点") : QStringLiteral("添加节点"));
    setWindowIcon(QApplication::windowIcon());
    // Modal to the sheet and the main window only: the browser the user picks
    // from is a window of its own and must still take typing and clicks
    // (an address, a link) while this dialog is open. exec() keeps this.
    setWindowModality(Qt::WindowModal);
    if (pParent != nullptr) {
        m_pSheet = pParent->window();
        if (m_pSheet->parentWidget() != nullptr)
            m_pMainWindow = m_pSheet->parentWidget()->window();
    }

    auto* pLayout = new QVBoxLayout(this);
    auto* pTypeBox = new QGroupBox(QStringLiteral("节点类型"), this);
    auto* pTypeGrid = new QGridLayout(pTypeBox);
    m_pTypes = new QButtonGroup(this);
    for (int i = 0; i < NODE_TYPE_COUNT; ++i) {
        m_apTypeButtons[i] = new QRadioButton(ToQ(g_apszNodeTypeNames[i]), pTypeBox);
        m_apTypeButtons[i]->setObjectName(QStringLiteral("type%1").arg(i));
        m_pTypes->addButton(m_apTypeButtons[i], i);
        pTypeGrid->addWidget(m_apTypeButtons[i], i / 4, i % 4);
    }
    pLayout->addWidget(pTypeBox);

    auto* pGrid = new QGridLayout;
    int nRow = 0;
    m_pName = new QLineEdit(this);
    m_pName->setObjectName("name");
    pGrid->addWidget(new QLabel(QStringLiteral("节点名称："), this), nRow, 0);
    pGrid->addWidget(m_pName, nRow++, 1, 1, 3);

    m_pPath = MakePathEdit(this, "path");
    m_pNodeIcon = MakePickerIcon(this, "nodePicker", QStringLiteral("按住鼠标左键，拖动到浏览器中的节点上松开"));
    pGrid->addWidget(new QLabel(QStringLiteral("节点路径："), this), nRow, 0, Qt::AlignTop);
    pGrid->addWidget(m_pPath, nRow, 1, 1, 3);
    pGrid->addWidget(m_pNodeIcon, nRow++, 4, Qt::AlignTop);

    m_pOrder = new QLineEdit(this);
    m_pOrder->setObjectName("order");
    m_pOnly = new QCheckBox(QStringLiteral("唯一"), this);
    m_pOnly->setObjectName("only");
    pGrid->addWidget(new QLabel(QStringLiteral("节点序号："), this), nRow, 0);
    pGrid->addWidget(m_pOrder, nRow, 1);
    pGrid->addWidget(m_pOnly, nRow++, 2);

    // The sibling path and the attribute share one place; only one of them
    // is shown for any type.
    m_pSiblingLabel = new QLabel(QStringLiteral("兄弟节点："), this);
    m_pSibling = MakePathEdit(this, "sibling");
    m_pSiblingIcon = MakePickerIcon(this, "siblingPicker", QStringLiteral("拖动到浏览器中下一条记录的同一节点上松开"));
    m_pAttributeLabel = new QLabel(QStringLiteral("链接属性名："), this);
    m_pAttribute = new QLineEdit(this);
    m_pAttribute->setObjectName("attribute");
    pGrid->addWidget(m_pSiblingLabel, nRow, 0, Qt::AlignTop);
    pGrid->addWidget(m_pAttributeLabel, nRow, 0, Qt::AlignTop);
    pGrid->addWidget(m_pSibling, nRow, 1, 1, 3);
    pGrid->addWidget(m_pAttribute, nRow, 1, 1, 3, Qt::AlignTop);
    pGrid->addWidget(m_pSiblingIcon, nRow++, 4, Qt::AlignTop);

    m_pOptionLabel = new QLabel(QStringLiteral("内容分隔符："), this);
    m_pOptionLabel->setObjectName("optionLabel");
    m_pOption = new QLineEdit(this);
    m_pOption->setObjectName("option");
    m_pBrowse = new QPushButton(QStringLiteral("..."), this);
    m_pBrowse->setObjectName("browse");
    m_pBrowse->setAutoDefault(false);
    m_pBrowse->setFixedWidth(32);
    auto* pOptionRow = new QHBoxLayout;
    pOptionRow->addWidget(m_pOption);
    pOptionRow->addWidget(m_pBrowse);
    pOptionRow->addStretch();
    pGrid->addWidget(m_pOptionLabel, nRow, 0);
    pGrid->addLayout(pOptionRow, nRow++, 1, 1, 3);
    pGrid->setColumnStretch(3, 1);
    pLayout->addLayout(pGrid);

    auto* pBottom = new QHBoxLayout;
    m_pHideParents = new QCheckBox(QStringLiteral("隐藏父窗口"), this);
    m_pHideParents->setObjectName("hideParents");
    pBottom->addWidget(m_pHideParents);
    pBottom->addStretch();
    auto* pOk = new QPushButton(QStringLiteral("确  定"), this);
    auto* pCancel = new QPushButton(QStringLiteral("取  消"), this);
    pOk->setObjectName("ok");
    pCancel->setObjectName("cancel");
    pOk->setDefault(true);
    pBottom->addWidget(pOk);
    pBottom->addWidget(pCancel);
    pLayout->addLayout(pBottom);
    setMinimumWidth(520);

    // Fill the fields.
    if (fields.nType >= 0 && fields.nType < NODE_TYPE_COUNT)
        m_apTypeButtons[fields.nType]->setChecked(true);
    m_pOnly->setChecked(fields.bOnly);
    m_pName->setText(ToQ(fields.strName));
    m_pPath->setPlainText(ToQ(fields.strPath));
    m_pOrder->setText(ToQ(fields.strOrder));
    m_pSibling->setPlainText(ToQ(fields.strSibling));
    m_pAttribute->setText(ToQ(fields.strAttribute));
    m_pOption->setText(ToQ(fields.strOption));
    if (m_bEditMode) {
        for (QRadioButton* pButton : m_apTypeButtons)
            pButton->setEnabled(false);
        m_pPath->setReadOnly(true);
    }
    ApplyTypeLayout();
    m_pName->selectAll();
    m_pName->setFocus();

    m_pWatchdog = new QTimer(this);
    m_pWatchdog->setInterval(600);
    connect(m_pWatchdog, &QTimer::timeout, this, &CNodeDialog::OnWatchdog);
    m_pNodeIcon->installEventFilter(this);
    m_pSiblingIcon->installEventFilter(this);
    connect(m_pTypes, &QButtonGroup::idClicked, this, [this] { ApplyTypeLayout(); });
    connect(m_pBrowse, &QPushButton::clicked, this, [this] {
        const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("选择目录"), m_pOption->text());
        if (!dir.isEmpty())
            m_pOption->setText(dir);
    });
    connect(m_pHideParents, &QCheckBox::toggled, this, [this](bool bChecked) { ShowParents(!bChecked); });
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
}

CNodeDialog::~CNodeDialog()
{
    if (m_bCursorSet)
        QApplication::restoreOverrideCursor();
    ShowParents(true);
}

int CNodeDialog::CheckedType() const
{
    return m_pTypes->checkedId();
}

void CNodeDialog::ApplyTypeLayout()
{
    // A stored type the editor does not know is laid out like a text field.
    int nType = CheckedType();
    if (nType < 0)
        nType = NODE_TEXT;
    const bool bBlock = nType == NODE_BLOCK;
    m_pSiblingLabel->setVisible(bBlock);
    m_pSibling->setVisible(bBlock);
    m_pSibling->setReadOnly(m_bEditMode);
    m_pSiblingIcon->setVisible(bBlock && !m_bEditMode);
    m_pNodeIcon->setVisible(!m_bEditMode);
    m_pOrder->setReadOnly(bBlock);
    m_pOnly->setEnabled(!bBlock);
    const bool bAttribute = nType >= NODE_ATTRIBUTE;
    m_pAttributeLabel->setVisible(bAttribute);
    m_pAttribute->setVisible(bAttribute);
    const bool bOption = nType == NODE_LINKED_PAGE || nType == NODE_LINKED_FILE;
    m_pOptionLabel->setVisible(bOption);
    m_pOption->setVisible(bOption);
    m_pOptionLabel->setText(nType == NODE_LINKED_FILE ? QStringLiteral("文件保存到：") : QStringLiteral("内容分隔符："));
    m_pOption->setFixedWidth(nType == NODE_LINKED_FILE ? DIRECTORY_WIDTH : SPLITTER_WIDTH);
    m_pBrowse->setVisible(nType == NODE_LINKED_FILE);
}

void CNodeDialog::showEvent(QShowEvent* pEvent)
{
    CFocusDialog::showEvent(pEvent);
    if (!m_bParentsHidden && !m_pHideParents->isChecked()) {
        // Out of the way of the browser window the icons are dragged onto.
        m_pHideParents->setChecked(true);
    }
}

void CNodeDialog::ShowParents(bool bShow)
{
    if (bShow == !m_bParentsHidden)
        return;
    m_bParentsHidden = !bShow;
    for (QWidget* pWindow : {m_pSheet.data(), m_pMainWindow.data()}) {
        if (pWindow != nullptr && pWindow != this)
            pWindow->setVisible(bShow);
    }
}

// ---- the picker drag ----

QPlainTextEdit* CNodeDialog::TargetField() const
{
    return m_nTarget == TARGET_SIBLING_PATH ? m_pSibling : m_pPath;
}

bool CNodeDialog::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(pEvent)->button() == Qt::LeftButton) {
        if (pWatched == m_pNodeIcon) {
            BeginPick(TARGET_NODE_PATH);
            return true;
        }
        if (pWatched == m_pSiblingIcon) {
            BeginPick(TARGET_SIBLING_PATH);
            return true;
        }
    }
    return CFocusDialog::eventFilter(pWatched, pEvent);
}

void CNodeDialog::BeginPick(ETarget nTarget)
{
    if (m_bEditMode)
        return;
    if (nTarget == TARGET_SIBLING_PATH && CheckedType() != NODE_BLOCK)
        return;
    m_nTarget = nTarget;
    TargetField()->clear();
    m_ptLast = QCursor::pos();
    grabMouse();
    if (!m_bCursorSet) {
        QApplication::setOverrideCursor(Qt::CrossCursor);
        m_bCursorSet = true;
    }
    m_pWatchdog->start();
}

void CNodeDialog::mouseMoveEvent(QMouseEvent* pEvent)
{
    if (m_nTarget == TARGET_NONE || QWidget::mouseGrabber() != this) {
        CFocusDialog::mouseMoveEvent(pEvent);
        return;
    }
    m_ptLast = pEvent->globalPosition().toPoint();
    if (g_pPicker == nullptr) {
        TargetField()->setPlainText(QStringLiteral("正在捕捉浏览器窗口..."));
        return;
    }
    QPointer<CNodeDialog> pSelf(this);
    const ETarget nTarget = m_nTarget;
    g_pPicker->HoverAt(m_ptLast, [pSelf, nTarget](const QString& strTag) {
        // Answers that come after the drag ended change nothing.
        if (pSelf == nullptr || pSelf->m_nTarget != nTarget)
            return;
        pSelf->TargetField()->setPlainText(strTag.isEmpty() ? QStringLiteral("正在捕捉浏览器窗口...") : strTag);
    });
}

void CNodeDialog::mouseReleaseEvent(QMouseEvent* pEvent)
{
    if (m_nTarget == TARGET_NONE || QWidget::mouseGrabber() != this) {
        CFocusDialog::mouseReleaseEvent(pEvent);
        return;
    }
    releaseMouse();
    QPlainTextEdit* pField = TargetField();
    pField->setPlainText(m_nTarget == TARGET_NODE_PATH ? QStringLiteral("正在获取节点路径...")
                                                      : QStringLiteral("正在获取兄弟节点路径..."));
    pField->repaint();
    if (g_pPicker == nullptr) {
        pField->clear();
        EndPick();
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QPointer<CNodeDialog> pSelf(this);
    QPointer<QPlainTextEdit> pTarget(pField);
    g_pPicker->PickAt(m_ptLast, [pSelf, pTarget](const QString& strPath) {
        QApplication::restoreOverrideCursor();
        if (pSelf == nullptr || pTarget == nullptr)
            return;
        pTarget->setPlainText(strPath);
        pSelf->EndPick();
    });
}

void CNodeDialog::EndPick()
{
    m_nTarget = TARGET_NONE;
    if (m_bCursorSet) {
        QApplication::restoreOverrideCursor();
        m_bCursorSet = false;
    }
}

void CNodeDialog::OnWatchdog()
{
    if (QWidget::mouseGrabber() == this)
        return;
    // The grab was taken away without a release (or the drag ended
    // normally): stop looking and give the cursor back.
    m_pWatchdog->stop();
    if (m_nTarget != TARGET_NONE && m_bCursorSet)
        EndPick();
}

// ---- OK and Cancel ----

void CNodeDialog::accept()
{
    SNodeFields fields;
    fields.nType = CheckedType();
    fields.bOnly = m_pOnly->isChecked();
    fields.strName = FromQ(m_pName->text());
    fields.strPath = PathText(m_pPath);
    fields.strOrder = FromQ(m_pOrder->text());
    fields.strSibling = PathText(m_pSibling);
    fields.strAttribute = FromQ(m_pAttribute->text());
    fields.strOption = FromQ(m_pOption->text());

    if (fields.strPath.empty()) {
        ShowWarning(this, QStringLiteral("节点路径不能为空。请拖动路径拾取图标到浏览器中选择节点！"));
        return;
    }
    if (fields.nType == NODE_LINKED_FILE) {
        if (fields.strOption.empty()) {
            ShowWarning(this, QStringLiteral("请指定文件存放目录！"));
            return;
        }
        std::string strChecked;
        if (!CheckSaveDirectory(fields.strOption, GetProgramDir(), strChecked)) {
            ShowWarning(this, QStringLiteral("[%1]不是一个有效的目录，请重新选择！").arg(ToQ(fields.strOption)));
            return;
        }
        fields.strOption = NormalizeSaveDirectory(fields.strOption);
    }
    if (fields.strName.empty())
        fields.strName = fields.nType == NODE_BLOCK ? DEFAULT_LOCATION_NAME : DEFAULT_DATA_NAME;
    if (fields.nType == NODE_BLOCK)
        TrimBlockPaths(fields.strPath, fields.strSibling);
    else
        fields.strSibling.clear();
    m_fields = fields;
    ShowParents(true);
    QDialog::accept();
}

void CNodeDialog::reject()
{
    ShowParents(true);
    QDialog::reject();
}

} // namespace quarvex
