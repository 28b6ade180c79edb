// DefinitionEditor.cpp - the editor seam and the markup text dialog.
#include "DefinitionEditor.h"

#include "AppContext.h"
#include "QtText.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quarvex {

namespace {

FnEditDefinition s_fnEditor = nullptr;

// What a new task starts from in the text dialog: every section present,
// so that the user fills values instead of remembering names.
constexpr char NEW_TASK_TEXT[] =
    "<root>\r\n\t<general>\r\n\t\t<taskname>新任务</taskname>\r\n\t\t<frequence>60</frequence>\r\n"
    "\t\t<autoload>0</autoload>\r\n\t</general>\r\n\t<network>\r\n\t\t<url></url>\r\n\t\t<refurl></refurl>\r\n"
    "\t\t<method>0</method>\r\n\t\t<webpost>0</webpost>\r\n\t</network>\r\n\t<database>\r\n\t\t<type>0</type>\r\n"
    "\t\t<savetodb>0</savetodb>\r\n\t</database>\r\n</root>\r\n";

} // namespace

void SetDefinitionEditor(FnEditDefinition fnEdit)
{
    s_fnEditor = fnEdit;
}

bool EditDefinition(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle)
{
    if (s_fnEditor != nullptr)
        return s_fnEditor(pParent, definition, strTitle);
    return EditDefinitionAsText(pParent, definition, strTitle);
}

bool EditDefinitionAsText(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle)
{
    QDialog dialog(pParent);
    dialog.setWindowTitle(strTitle);
    dialog.resize(560, 480);
    auto* pEdit = new QPlainTextEdit(&dialog);
    pEdit->setObjectName("definitionText");
    pEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    std::string strText;
    if (definition.IsEmpty() || !definition.SaveToString(strText))
        strText = NEW_TASK_TEXT;
    pEdit->setPlainText(ToQString(strText));
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    pButtons->button(QDialogButtonBox::Ok)->setText("确  定");
    pButtons->button(QDialogButtonBox::Cancel)->setText("取  消");
    auto* pLayout = new QVBoxLayout(&dialog);
    pLayout->addWidget(pEdit);
    pLayout->addWidget(pButtons);
    QObject::connect(pButtons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(pButtons, &QDialogButtonBox::accepted, &dialog, [&] {
        CMarkupDoc edited;
        const std::string strEdited = ToBytes(pEdit->toPlainText());
        edited.Parse(strEdited.c_str());
        if (edited.FindTopLevel("root") == nullptr) {
            QMessageBox::warning(&dialog, APP_TITLE, "任务定义必须有一个 root 元素！");
            return;
        }
        definition = std::move(edited);
        dialog.accept();
    });
    return dialog.exec() == QDialog::Accepted;
}

} // namespace quarvex
