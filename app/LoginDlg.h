// LoginDlg.h - "Quarvex" login: OK logs in to the task store (off the GUI
// thread) and closes the dialog only on success; Cancel ("退出") ends the
// program. With the embedded store, an unknown name may be created.
#pragma once

#include <QDialog>

#include <string>

class QLineEdit;
class QPushButton;

namespace quarvex {

class CAppContext;

class CLoginDlg : public QDialog {
    Q_OBJECT
public:
    CLoginDlg(CAppContext& context, QWidget* pParent = nullptr);

    void SetUserName(const std::string& strName);
    void SetPassword(const std::string& strPassword);
    std::string GetUserName() const;
    std::string GetPassword() const;

    void accept() override;

    QLineEdit* m_pName;      // 1000 "登录账号："
    QLineEdit* m_pPassword;  // 1001 "登录密码："
    QPushButton* m_pOk;
    QPushButton* m_pCancel;

private:
    // Offers to create an account the embedded store does not know; true
    // when it was created.
    bool OfferNewAccount(const std::string& strName, const std::string& strPassword);

    CAppContext& m_context;
};

} // namespace quarvex
