// EditorUi.cpp - message boxes and the Enter key of the editor's windows.
#include "EditorUi.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>

namespace quarvex {

namespace {

QMessageBox::StandardButton Show(QWidget* pOwner, QMessageBox::Icon nIcon, const QString& text,
                                 QMessageBox::StandardButtons nButtons)
{
    QMessageBox box(nIcon, QString::fromLatin1(APP_CAPTION), text, nButtons, pOwner);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace

void ShowWarning(QWidget* pOwner, const QString& text)
{
    Show(pOwner, QMessageBox::Warning, text, QMessageBox::Ok);
}

void ShowInformation(QWidget* pOwner, const QString& text)
{
    Show(pOwner, QMessageBox::Information, text, QMessageBox::Ok);
}

bool AskYesNo(QWidget* pOwner, const QString& text)
{
    return Show(pOwner, QMessageBox::Warning, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

CFocusDialog::CFocusDialog(QWidget* pParent) : QDialog(pParent) {}

bool CFocusDialog::EnterMovesFocus(QWidget* pFocus) const
{
    return qobject_cast<QPushButton*>(pFocus) == nullptr;
}

void CFocusDialog::keyPressEvent(QKeyEvent* pEvent)
{
    const int nKey = pEvent->key();
    if ((nKey == Qt::Key_Return || nKey == Qt::Key_Enter) && pEvent->modifiers() == Qt::NoModifier &&
        EnterMovesFocus(QApplication::focusWidget())) {
        focusNextChild();
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

} // namespace quarvex
