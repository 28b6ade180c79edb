// SmallDialogs.h - the parameter dialog of the General page and the field
// dialog of the Database page: one name and one value each.
#pragma once

#include <string>
#include <vector>

#include "EditorUi.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace quarvex {

class CParamDialog : public CFocusDialog {
    Q_OBJECT
public:
    // Empty name and value: "添加参数"; with a name: "修改参数".
    CParamDialog(QWidget* pParent, const std::string& strName = {}, const std::string& strValue = {});
    std::string GetName() const;
    std::string GetValue() const;

    void accept() override;

protected:
    bool EnterMovesFocus(QWidget* pFocus) const override;

private:
    QLineEdit* m_pName;
    QLineEdit* m_pValue;
    QPushButton* m_pOk;
};

class CFieldDialog : public CFocusDialog {
    Q_OBJECT
public:
    // aChoices fill the value box in order (see BuildValueChoices).
    CFieldDialog(QWidget* pParent, const std::vector<std::string>& aChoices, const std::string& strName = {},
                 const std::string& strValue = {});
    std::string GetName() const;
    // The chosen entry or whatever was typed.
    std::string GetValue() const;

    void accept() override;

private:
    QLineEdit* m_pName;
    QComboBox* m_pValue;
};

} // namespace quarvex
