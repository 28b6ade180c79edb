// DefinitionEditor.h - the seam through which "新建任务" and "任务属性" edit
// a task definition. The task property sheet installs itself here; until one
// is installed, the definition is edited as markup text in a plain dialog.
#pragma once

#include "markup/MarkupDoc.h"

#include <QString>

class QWidget;

namespace quarvex {

// Edits definition in place (a copy the caller owns) in a modal window
// titled strTitle ("新建任务" or "任务属性"); true when OK was pressed and
// the definition now holds the result.
using FnEditDefinition = bool (*)(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle);

// Installs the editor (null puts the markup text dialog back).
void SetDefinitionEditor(FnEditDefinition fnEdit);
// Runs the installed editor, or the markup text dialog.
bool EditDefinition(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle);
// The markup text dialog itself.
bool EditDefinitionAsText(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle);

} // namespace quarvex
