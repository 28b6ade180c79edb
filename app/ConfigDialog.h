// ConfigDialog.h - "参数配置": the remembered login flags and the example
// tasks to load (tab "常规"), and the other keys of Config.dat (tab "高级").
// It reads and writes Config.dat itself; changes take effect at next start.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QListWidget;

namespace quarvex {

class CAppContext;

class CConfigDialog : public QDialog {
    Q_OBJECT
public:
    CConfigDialog(CAppContext& context, QWidget* pParent = nullptr);

    QCheckBox* m_pSaveUserName;  // 1006
    QCheckBox* m_pSavePassword;  // 1015
    QListWidget* m_pAvailable;   // 1014 "可装载的示例任务："
    QListWidget* m_pChosen;      // 1016 "我要装载的示例任务："
    QLineEdit* m_pServer;
    QLineEdit* m_pHelpUrl;
    QLineEdit* m_pHostConnections;  // general/hostconnections
    QLineEdit* m_pHostInterval;     // general/hostinterval, ms
    QLineEdit* m_pProxy;            // general/proxy
    QCheckBox* m_pKeepRecords;      // general/keeprecords, on unless "0"

    void accept() override;

private:
    // Moves the selected entry (or every entry) of pFrom to pTo.
    static void Move(QListWidget* pFrom, QListWidget* pTo, bool bAll);
    void AddExample(QListWidget* pList, const std::string& strId, const std::string& strName);

    CAppContext& m_context;
};

} // namespace quarvex
