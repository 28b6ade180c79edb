// TaskInfoSheet.h - CTaskInfoSheet, the property sheet in which a task is
// created ("新建任务") or changed ("任务属性"), and its pages. The sheet edits
// a private copy of the definition: OK leaves the edited definition in
// GetDocument(), Cancel leaves the caller's task exactly as it was.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "EditorUi.h"
#include "TaskPages.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;
class CExtractOnce;
struct CExtractResult;

namespace quarvex {

class CTaskInfoSheet;

// One page of the sheet. Init runs when the page is first shown; a page that
// was never shown takes no part in OK.
class CTaskInfoPage : public QWidget {
    Q_OBJECT
public:
    CTaskInfoPage(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc);
    bool IsInitialised() const { return m_bInitialised; }
    void InitOnce();
    // Leaving the page: false keeps it current (its message was shown).
    virtual bool OnKillActive() { return true; }
    // Writes the page's controls into doc (the sheet's document on OK, or a
    // copy for the preview).
    virtual void WriteTo(CMarkupDoc& /*doc*/) const {}
    // Whether Enter on pFocus moves the focus rather than pressing OK.
    virtual bool EnterMovesFocus(QWidget* /*pFocus*/) const { return false; }

protected:
    virtual void OnInit() = 0;
    CTaskInfoSheet* m_pSheet;
    CMarkupDoc* m_pDoc;  // The sheet's document; not owned.

private:
    bool m_bInitialised = false;
};

// 常规: name, period, address, method, credentials and parameters.
class CTaskInfoPage1 : public CTaskInfoPage {
    Q_OBJECT
public:
    CTaskInfoPage1(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc);
    bool OnKillActive() override;
    void WriteTo(CMarkupDoc& doc) const override;
    bool EnterMovesFocus(QWidget* pFocus) const override;
    // The parameter list's popup commands (10001 add, 10002 modify, 10003
    // delete) on row nRow (-1: no row).
    void RunCommand(int nCommand, int nRow);

protected:
    void OnInit() override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    SGeneralPage Collect() const;
    void SetParams(const std::vector<NameValue>& aParams);
    std::vector<NameValue> Params() const;
    void ImportQuery();
    void EnableAuth();
    void ShowParamMenu(const QPoint& pt);
    void AddParam();
    void ModifyParam(int nRow);
    void DeleteParam(int nRow);

    QLineEdit* m_pTaskName;
    QLineEdit* m_pPeriod;
    QCheckBox* m_pAutoLoad;
    QLineEdit* m_pUrl;
    QLineEdit* m_pRefUrl;
    QRadioButton* m_pGet;
    QRadioButton* m_pPost;
    QCheckBox* m_pAuth;
    QLineEdit* m_pAuthName;
    QLineEdit* m_pAuthPass;
    QCheckBox* m_pShowPass;
    QTableWidget* m_pParams;
};

// 内容: the tree of blocks and fields, the selected node's properties, and
// the preview of the records the definition yields.
class CTaskInfoPage2 : public CTaskInfoPage {
    Q_OBJECT
public:
    CTaskInfoPage2(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc);
    ~CTaskInfoPage2() override;
    QTreeWidget* GetTree() const { return m_pTree; }
    QTableWidget* GetProperties() const { return m_pProperties; }
    QTableWidget* GetPreviewTable() const { return m_pPreview; }
    QLabel* GetPreviewLog() const { return m_pPreviewLog; }
    bool IsPreviewRunning() const { return m_previewThread.joinable(); }

    // The popup commands, also for tests: pItem is the item under the
    // cursor (null on empty space).
    enum { CMD_ADD = 10001, CMD_MODIFY = 10002, CMD_DELETE = 10003, CMD_ADD_LINKED = 10004 };
    bool IsCommandEnabled(int nCommand, QTreeWidgetItem* pItem) const;
    void RunCommand(int nCommand, QTreeWidgetItem* pItem, bool bFromDoubleClick = false);
    void StartPreview();
    void CancelPreview();
    // After a pick changed a node: the preview again, on the page text the
    // picker's check already fetched for the task's address; nothing when
    // the picker holds none or a preview is running.
    void RefreshPreviewAfterPick();

protected:
    void OnInit() override;

private:
    void FillTree();
    QTreeWidgetItem* InsertLocation(QTreeWidgetItem* pParent, CMarkupNode* pLocation);
    QTreeWidgetItem* InsertData(QTreeWidgetItem* pParent, CMarkupNode* pData);
    QTreeWidgetItem* FindItem(const CMarkupNode* pElem) const;
    void ShowNode(QTreeWidgetItem* pItem);
    void ShowMenu(const QPoint& pt);
    void AddNodeTo(CMarkupNode* pOwner);
    void ModifyNodeOf(QTreeWidgetItem* pItem, bool bFromDoubleClick);
    void DeleteNodeOf(QTreeWidgetItem* pItem);
    void OnPreviewDone(std::shared_ptr<CExtractResult> pResult);
    void JoinPreview();
    // pPage null: fetched as the task would; otherwise that text for strUrl.
    void RunPreview(std::shared_ptr<CMarkupDoc> pDef, std::shared_ptr<const std::string> pPage, const std::string& strUrl);

    QTreeWidget* m_pTree;
    QTableWidget* m_pProperties;
    QPushButton* m_pPreviewButton;
    QPushButton* m_pCancelButton;
    QLabel* m_pPreviewLog;
    QTableWidget* m_pPreview;
    std::unique_ptr<CExtractOnce> m_pExtract;
    std::thread m_previewThread;
};

// WEB POST: the form request sent for every new record.
class CTaskInfoPage3 : public CTaskInfoPage {
    Q_OBJECT
public:
    CTaskInfoPage3(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc);
    bool OnKillActive() override;
    void WriteTo(CMarkupDoc& doc) const override;

protected:
    void OnInit() override;

private:
    SWebPostPage Collect() const;

    QCheckBox* m_pWebPost;
    QRadioButton* m_pGet;
    QRadioButton* m_pPost;
    QLineEdit* m_pUrl;
    QPlainTextEdit* m_pVar;
};

// 数据库: the table that receives every new record, and the connection test.
class CTaskInfoPage4 : public CTaskInfoPage {
    Q_OBJECT
public:
    CTaskInfoPage4(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc);
    ~CTaskInfoPage4() override;
    void WriteTo(CMarkupDoc& doc) const override;
    bool EnterMovesFocus(QWidget* pFocus) const override;
    bool IsTestRunning() const { return m_testThread.joinable(); }
    void RunCommand(int nCommand, int nRow);

protected:
    void OnInit() override;

private:
    SDatabasePage Collect() const;
    void SetType(int nType);
    void ShowFieldMenu(const QPoint& pt);
    void StartTest();
    void OnTestDone(bool bOk, const std::string& strReason);

    int m_nType = DB_ACCESS;
    QRadioButton* m_apType[3];
    QLabel* m_pServerLabel;
    QLineEdit* m_pServer;
    QPushButton* m_pBrowse;
    QLabel* m_pDatabaseLabel;
    QLineEdit* m_pDatabase;
    QLineEdit* m_pAccount;
    QLineEdit* m_pPassword;
    QPushButton* m_pTest;
    QCheckBox* m_pSaveToDb;
    QLineEdit* m_pTable;
    QTableWidget* m_pFields;
    std::thread m_testThread;
};

// 高级: definition keys the engine reads beyond the basic pages.
class CTaskInfoPageAdvanced : public CTaskInfoPage {
    Q_OBJECT
public:
    CTaskInfoPageAdvanced(CTaskInfoSheet* pSheet, CMarkupDoc* pDoc);
    void WriteTo(CMarkupDoc& doc) const override;

protected:
    void OnInit() override;

private:
    std::vector<QLineEdit*> m_apValues;
    QPlainTextEdit* m_pHeaders;
};

class CTaskInfoSheet : public CFocusDialog {
    Q_OBJECT
public:
    // Loads nothing: call GetDocument().Parse(...) or LoadDefinition before
    // exec() for an existing task.
    explicit CTaskInfoSheet(QWidget* pParent = nullptr);
    ~CTaskInfoSheet() override;

    // Copies the task's definition into the sheet's private document.
    void LoadDefinition(const CMarkupDoc& def);
    CMarkupDoc& GetDocument() { return m_doc; }

    QTabWidget* GetTabs() const { return m_pTabs; }
    CTaskInfoPage1* GetGeneralPage() const { return m_pPage1; }
    CTaskInfoPage2* GetContentPage() const { return m_pPage2; }
    CTaskInfoPage3* GetWebPostPage() const { return m_pPage3; }
    CTaskInfoPage4* GetDatabasePage() const { return m_pPage4; }

    // The definition as it stands in the sheet, every shown page's controls
    // written in, without the leaving checks: what a preview runs.
    void BuildCurrentDefinition(CMarkupDoc& doc) const;

    // Makes the sheet ready to show: the caption, an empty definition's
    // <root>, the General page. exec() does it; a test that only show()s
    // the sheet calls it first.
    void Start();
    int exec() override;
    void accept() override;

protected:
    bool EnterMovesFocus(QWidget* pFocus) const override;

private:
    void OnCurrentChanged(int nIndex);

    CMarkupDoc m_doc;
    QTabWidget* m_pTabs;
    CTaskInfoPage1* m_pPage1;
    CTaskInfoPage2* m_pPage2;
    CTaskInfoPage3* m_pPage3;
    CTaskInfoPage4* m_pPage4;
    CTaskInfoPageAdvanced* m_pPageAdvanced = nullptr;  // Only when the engine reads such keys.
    std::vector<CTaskInfoPage*> m_apPages;
    int m_nCurrent = 0;
    bool m_bStarted = false;
};

// The sheet as the main window's "新建任务" and "任务属性" use it: edits
// definition (empty for a new task) in a modal sheet titled strTitle; on OK
// the definition holds the result and the answer is true.
bool EditTaskDefinition(QWidget* pParent, CMarkupDoc& definition, const QString& strTitle);

} // namespace quarvex
