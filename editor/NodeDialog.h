// NodeDialog.h - CNodeDialog, "添加节点" / "修改节点": one block or field of
// the Content page, with the two picker icons that are dragged onto a
// browser page to fill the node path and the sibling path.
#pragma once

#include <QPoint>
#include <QPointer>

#include <functional>
#include <string>

#include "EditorUi.h"
#include "NodePathRules.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace quarvex {

class CNodeDialog;

// What the node dialog asks of the browser picker while a picker icon is
// dragged. Both answers may come later (a browser page answers
// asynchronously); the dialog ignores answers that arrive after it closed.
class INodePicker {
public:
    virtual ~INodePicker() = default;
    // The cursor is at ptGlobal (screen coordinates) during a drag: answer
    // the tag name of the element under it as the browser reports it, or an
    // empty text when no browser page is there.
    virtual void HoverAt(const QPoint& ptGlobal, std::function<void(const QString& strTag)> fnAnswer) = 0;
    // The button was released at ptGlobal: answer the node path of the
    // element there (lower case, "table@tbody" already written "table"), or
    // an empty text when no browser page or no element is there.
    virtual void PickAt(const QPoint& ptGlobal, std::function<void(const QString& strPath)> fnAnswer) = 0;
    // The page text (UTF-8) the last pick's check fetched for strUrl, the
    // address the task requests, so that the preview can run on it without
    // fetching again. False when the picker holds none for that address.
    virtual bool GetCheckedPage(const std::string& strUrl, std::string& strPage) const
    {
        (void)strUrl;
        (void)strPage;
        return false;
    }
};

class CNodeDialog : public CFocusDialog {
    Q_OBJECT
public:
    enum ETarget { TARGET_NONE = 0, TARGET_NODE_PATH = 1, TARGET_SIBLING_PATH = 2 };

    // Add mode when fields.strPath is empty, edit mode ("修改节点") otherwise.
    // On opening, the property sheet (pParent's window) and the main window
    // (its parent's window) are hidden until the dialog closes or
    // "隐藏父窗口" is cleared.
    CNodeDialog(QWidget* pParent, const SNodeFields& fields);
    ~CNodeDialog() override;

    // After OK: type, trimmed block paths, default name, stored directory.
    const SNodeFields& GetFields() const { return m_fields; }
    bool IsEditMode() const { return m_bEditMode; }

    // The picker every node dialog uses; null (the default) answers every
    // drag as "not a browser". Not owned; the caller keeps it alive.
    static void SetPicker(INodePicker* pPicker);
    static INodePicker* GetPicker();

    // The picker icons, so that a test or the picker can find them.
    QLabel* GetNodePickerIcon() const { return m_pNodeIcon; }
    QLabel* GetSiblingPickerIcon() const { return m_pSiblingIcon; }

    // What the check of the last pick against the page text found, shown
    // under the path fields. strOfferedPath, when not empty, is where our own
    // parse of the page has the picked element: "使用此路径" then puts it
    // into the field the pick was for; the user chooses.
    void ShowPathCheck(ETarget nTarget, const QString& strText, const QString& strOfferedPath);
    QString GetPathCheckText() const;
    QPushButton* GetUseOfferedButton() const { return m_pUseOffered; }

    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;

private:
    void ApplyTypeLayout();
    int CheckedType() const;
    void ShowParents(bool bShow);
    void BeginPick(ETarget nTarget);
    void EndPick();
    void OnWatchdog();
    QPlainTextEdit* TargetField() const;

    SNodeFields m_fields;
    bool m_bEditMode = false;
    bool m_bParentsHidden = false;
    QPointer<QWidget> m_pSheet;
    QPointer<QWidget> m_pMainWindow;

    QButtonGroup* m_pTypes;
    QRadioButton* m_apTypeButtons[NODE_TYPE_COUNT];
    QLineEdit* m_pName;
    QPlainTextEdit* m_pPath;
    QLabel* m_pNodeIcon;
    QLineEdit* m_pOrder;
    QCheckBox* m_pOnly;
    QLabel* m_pSiblingLabel;
    QPlainTextEdit* m_pSibling;
    QLabel* m_pSiblingIcon;
    QLabel* m_pAttributeLabel;
    QLineEdit* m_pAttribute;
    QLabel* m_pOptionLabel;
    QLineEdit* m_pOption;
    QPushButton* m_pBrowse;
    QCheckBox* m_pHideParents;
    QLabel* m_pCheck;
    QPushButton* m_pUseOffered;
    ETarget m_nOfferTarget = TARGET_NONE;
    QString m_strOffered;

    // Drag state: reset for every drag.
    ETarget m_nTarget = TARGET_NONE;
    QPoint m_ptLast;
    QTimer* m_pWatchdog;
    bool m_bCursorSet = false;
};

} // namespace quarvex
