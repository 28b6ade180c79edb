// EditorUi.h - what every editor window shares: bytes to and from Qt text
// (the definition's bytes are UTF-8, so nothing is converted), the message
// boxes captioned "Quarvex", and the Enter key that moves the focus.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <string>
#include <string_view>

class QWidget;

namespace quarvex {

inline QString ToQ(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQ(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

inline constexpr char APP_CAPTION[] = "Quarvex";

// A refusal or a result: the exclamation (warning) icon, OK, captioned
// "Quarvex". pOwner may be null (a message without an owner window).
void ShowWarning(QWidget* pOwner, const QString& text);
void ShowInformation(QWidget* pOwner, const QString& text);
// Yes/No with the warning icon; true for Yes.
bool AskYesNo(QWidget* pOwner, const QString& text);

// A dialog in which Enter moves the focus to the next control instead of
// pressing the default button. EnterMovesFocus decides per focused widget;
// by default Enter on a push button still presses it.
class CFocusDialog : public QDialog {
    Q_OBJECT
public:
    explicit CFocusDialog(QWidget* pParent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    virtual bool EnterMovesFocus(QWidget* pFocus) const;
};

} // namespace quarvex
