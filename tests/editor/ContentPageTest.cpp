// ContentPageTest.cpp - the Content page and the node dialog: the type
// layout, the refusals, what adding and modifying write, and the preview
// against a local page.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include "GuiTestSupport.h"
#include "../engine/TaskTestSupport.h"
#include "editor/NodeDialog.h"
#include "editor/TaskInfoSheet.h"

namespace {

using namespace quarvex;

template <class T>
T* Child(QWidget* pParent, const char* pszName)
{
    T* p = pParent->findChild<T*>(QString::fromLatin1(pszName));
    EXPECT_NE(p, nullptr) << pszName;
    return p;
}

std::string TextOf(const CMarkupDoc& doc)
{
    std::string s;
    doc.SaveToString(s);
    return s;
}

const char* const s_pszGeneral = "<general><taskname>t</taskname><frequence>60</frequence></general>";

struct TContent {
    CTaskInfoSheet sheet;
    CTaskInfoPage2* pPage = nullptr;
    explicit TContent(const std::string& strLocations, const std::string& strUrl = "http://h/")
    {
        sheet.GetDocument().Parse(("<root>" + std::string(s_pszGeneral) + "<network><url>" + strUrl +
                                   "</url></network>" + strLocations + "</root>").c_str());
        sheet.Start();
        sheet.show();
        sheet.GetTabs()->setCurrentIndex(1);
        pPage = sheet.GetContentPage();
    }
    QTreeWidgetItem* Item(const char* pszText)
    {
        const auto items = pPage->GetTree()->findItems(QString::fromUtf8(pszText), Qt::MatchExactly | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
};

void FillNodeDialog(QWidget* pDialog, int nType, const char* pszName, const char* pszPath,
                    const char* pszSibling = "", const char* pszAttribute = "", const char* pszOption = "")
{
    Child<QRadioButton>(pDialog, QStringLiteral("type%1").arg(nType).toLatin1().constData())->click();
    Child<QLineEdit>(pDialog, "name")->setText(QString::fromUtf8(pszName));
    Child<QPlainTextEdit>(pDialog, "path")->setPlainText(QString::fromUtf8(pszPath));
    Child<QPlainTextEdit>(pDialog, "sibling")->setPlainText(QString::fromUtf8(pszSibling));
    Child<QLineEdit>(pDialog, "attribute")->setText(QString::fromUtf8(pszAttribute));
    Child<QLineEdit>(pDialog, "option")->setText(QString::fromUtf8(pszOption));
}

TEST(NodeDialogTest, TypeLayoutInAddAndEditMode)
{
    QWidget owner;
    SNodeFields empty;
    CNodeDialog add(&owner, empty);
    add.show();
    EXPECT_EQ(add.windowTitle(), QStringLiteral("添加节点"));
    EXPECT_TRUE(Child<QRadioButton>(&add, "type0")->isChecked());
    auto* pSibling = Child<QPlainTextEdit>(&add, "sibling");
    auto* pAttribute = Child<QLineEdit>(&add, "attribute");
    auto* pOption = Child<QLineEdit>(&add, "option");
    auto* pOptionLabel = Child<QLabel>(&add, "optionLabel");
    auto* pBrowse = Child<QPushButton>(&add, "browse");
    auto* pOrder = Child<QLineEdit>(&add, "order");
    auto* pOnly = Child<QCheckBox>(&add, "only");
    struct { int nType; bool bSibling, bAttribute, bOption, bBrowse, bOrderRo; const char* pszLabel; int nWidth; } cases[] = {
        {0, true, false, false, false, true, nullptr, 0},
        {1, false, false, false, false, false, nullptr, 0},
        {3, false, false, false, false, false, nullptr, 0},
        {4, false, true, false, false, false, nullptr, 0},
        {5, false, true, true, false, false, "内容分隔符：", 62},
        {6, false, true, true, true, false, "文件保存到：", 200},
    };
    for (const auto& c : cases) {
        Child<QRadioButton>(&add, QStringLiteral("type%1").arg(c.nType).toLatin1().constData())->click();
        EXPECT_EQ(pSibling->isVisible(), c.bSibling) << c.nType;
        EXPECT_EQ(add.GetSiblingPickerIcon()->isVisible(), c.bSibling) << c.nType;
        EXPECT_EQ(pAttribute->isVisible(), c.bAttribute) << c.nType;
        EXPECT_EQ(pOption->isVisible(), c.bOption) << c.nType;
        EXPECT_EQ(pBrowse->isVisible(), c.bBrowse) << c.nType;
        EXPECT_EQ(pOrder->isReadOnly(), c.bOrderRo) << c.nType;
        EXPECT_EQ(pOnly->isEnabled(), !c.bOrderRo) << c.nType;
        EXPECT_TRUE(add.GetNodePickerIcon()->isVisible());
        if (c.pszLabel != nullptr) {
            EXPECT_EQ(pOptionLabel->text(), QString::fromUtf8(c.pszLabel));
            EXPECT_EQ(pOption->width(), c.nWidth);
        }
    }
    add.reject();

    SNodeFields block;
    block.nType = NODE_BLOCK;
    block.strPath = "html@body@table@tr";
    block.strSibling = "html@body@table@tr#tr";
    CNodeDialog edit(&owner, block);
    edit.show();
    EXPECT_EQ(edit.windowTitle(), QStringLiteral("修改节点"));
    EXPECT_FALSE(Child<QRadioButton>(&edit, "type1")->isEnabled());
    EXPECT_TRUE(Child<QPlainTextEdit>(&edit, "path")->isReadOnly());
    EXPECT_TRUE(Child<QPlainTextEdit>(&edit, "sibling")->isReadOnly());
    EXPECT_FALSE(edit.GetNodePickerIcon()->isVisible());
    EXPECT_FALSE(edit.GetSiblingPickerIcon()->isVisible());
    edit.reject();
}

TEST(NodeDialogTest, RefusalsAndWhatOkReturns)
{
    QWidget owner;
    CNodeDialog dialog(&owner, SNodeFields());
    dialog.show();
    QString text;
    AnswerNextMessage(&text);
    Child<QPushButton>(&dialog, "ok")->click();
    WaitFor([&] { return !text.isEmpty(); });
    EXPECT_EQ(text, QStringLiteral("节点路径不能为空。请拖动路径拾取图标到浏览器中选择节点！"));
    EXPECT_TRUE(dialog.isVisible());

    FillNodeDialog(&dialog, NODE_LINKED_FILE, "", "html@body@a", "", "href", "");
    text.clear();
    AnswerNextMessage(&text);
    Child<QPushButton>(&dialog, "ok")->click();
    WaitFor([&] { return !text.isEmpty(); });
    EXPECT_EQ(text, QStringLiteral("请指定文件存放目录！"));

    Child<QLineEdit>(&dialog, "option")->setText("no-such-dir-here");
    text.clear();
    AnswerNextMessage(&text);
    Child<QPushButton>(&dialog, "ok")->click();
    WaitFor([&] { return !text.isEmpty(); });
    EXPECT_EQ(text, QStringLiteral("[no-such-dir-here]不是一个有效的目录，请重新选择！"));

    const QString dir = QString::fromStdString(std::filesystem::temp_directory_path().string());
    Child<QLineEdit>(&dialog, "option")->setText(dir);
    Child<QPlainTextEdit>(&dialog, "sibling")->setPlainText("html@body@a#a");
    Child<QPushButton>(&dialog, "ok")->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const SNodeFields& f = dialog.GetFields();
    EXPECT_EQ(f.strName, "数据");
    EXPECT_EQ(f.strOption, dir.toStdString() + "/");
    EXPECT_EQ(f.strSibling, "") << "only blocks keep a sibling path";

    // A block's two picks are trimmed to the record step.
    CNodeDialog block(&owner, SNodeFields());
    block.show();
    FillNodeDialog(&block, NODE_BLOCK, "", "html@body@table@tr@td@a", "html@body@table@tr#tr@td@a");
    Child<QPushButton>(&block, "ok")->click();
    EXPECT_EQ(block.GetFields().strName, "区块");
    EXPECT_EQ(block.GetFields().strPath, "html@body@table@tr");
    EXPECT_EQ(block.GetFields().strSibling, "html@body@table@tr#tr");
}

TEST(NodeDialogTest, HidesTheSheetAndTheMainWindowWhilePicking)
{
    QWidget mainWindow;
    mainWindow.show();
    QDialog sheet(&mainWindow);
    sheet.show();
    bool bHiddenWhileOpen = false;
    bool bCheckedWhileOpen = false;
    OnNextModal([&](QWidget* pModal) {
        bHiddenWhileOpen = !sheet.isVisible() && !mainWindow.isVisible() && pModal->isVisible();
        bCheckedWhileOpen = Child<QCheckBox>(pModal, "hideParents")->isChecked();
        Child<QCheckBox>(pModal, "hideParents")->click();
        EXPECT_TRUE(sheet.isVisible());
        EXPECT_TRUE(mainWindow.isVisible());
        Child<QCheckBox>(pModal, "hideParents")->click();
        Child<QPushButton>(pModal, "cancel")->click();
    });
    CNodeDialog dialog(&sheet, SNodeFields());
    dialog.exec();
    EXPECT_TRUE(bHiddenWhileOpen);
    EXPECT_TRUE(bCheckedWhileOpen);
    EXPECT_TRUE(sheet.isVisible()) << "Cancel shows them again";
    EXPECT_TRUE(mainWindow.isVisible());
}

// A picker that answers like a browser page would, for the drag protocol.
class CFakePicker : public INodePicker {
public:
    void HoverAt(const QPoint&, std::function<void(const QString&)> fnAnswer) override { fnAnswer("TD"); }
    void PickAt(const QPoint&, std::function<void(const QString&)> fnAnswer) override
    {
        fnAnswer("html@body@table@tr@td");
    }
};

TEST(NodeDialogTest, DraggingAPickerIconFillsItsField)
{
    QWidget owner;
    {
        // Without a browser picker the drag ends with an empty field.
        CNodeDialog dialog(&owner, SNodeFields());
        dialog.show();
        auto* pPath = Child<QPlainTextEdit>(&dialog, "path");
        pPath->setPlainText("old");
        QTest::mousePress(dialog.GetNodePickerIcon(), Qt::LeftButton);
        EXPECT_EQ(pPath->toPlainText(), QString());
        QTest::mouseMove(&dialog, QPoint(5, 5));
        QTest::mouseRelease(&dialog, Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_EQ(pPath->toPlainText(), QString());
        dialog.reject();
    }
    CFakePicker picker;
    CNodeDialog::SetPicker(&picker);
    CNodeDialog dialog(&owner, SNodeFields());
    dialog.show();
    QTest::mousePress(dialog.GetNodePickerIcon(), Qt::LeftButton);
    QTest::mouseRelease(&dialog, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(Child<QPlainTextEdit>(&dialog, "path")->toPlainText(), QStringLiteral("html@body@table@tr@td"));
    // The sibling icon works for blocks only.
    Child<QRadioButton>(&dialog, "type1")->click();
    QTest::mousePress(dialog.GetSiblingPickerIcon(), Qt::LeftButton);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    CNodeDialog::SetPicker(nullptr);
    dialog.reject();
}

TEST(ContentPageTest, TreeListAndCommands)
{
    TContent t("<location><name>rows</name><path>html@body@table@tr</path><step>#tr</step>"
               "<data><type>4</type><name>detail</name><path>@td@a</path><attribute>href</attribute>"
               "  <location><path>html@body@div</path><data><type>0</type><name>body</name></data></location>"
               "  <location><name>ignored</name></location></data>"
               "<data><type>9</type><name>odd</name><path>@td#td</path></data></location>");
    QTreeWidget* pTree = t.pPage->GetTree();
    ASSERT_EQ(pTree->topLevelItemCount(), 1);
    EXPECT_EQ(t.Item("ignored"), nullptr) << "only the first block of a linked page is shown";
    QTreeWidgetItem* pRows = t.Item("rows");
    QTreeWidgetItem* pDetail = t.Item("detail");
    QTreeWidgetItem* pOdd = t.Item("odd");
    ASSERT_TRUE(pRows && pDetail && pOdd);

    pTree->setCurrentItem(pRows);
    QTableWidget* pList = t.pPage->GetProperties();
    EXPECT_EQ(pList->item(0, 1)->text(), QStringLiteral("区块"));
    EXPECT_EQ(pList->item(2, 1)->text(), QStringLiteral("html@body@table@tr"));
    EXPECT_EQ(pList->item(3, 1)->text(), QStringLiteral("html@body@table@tr#tr"));
    pTree->setCurrentItem(pOdd);
    EXPECT_EQ(pList->item(0, 1)->text(), QStringLiteral("9")) << "an unknown type shows as stored";
    EXPECT_EQ(pList->item(2, 1)->text(), QStringLiteral("html@body@table@tr@td#td"));

    EXPECT_FALSE(t.pPage->IsCommandEnabled(CTaskInfoPage2::CMD_DELETE, pRows)) << "it has children";
    EXPECT_TRUE(t.pPage->IsCommandEnabled(CTaskInfoPage2::CMD_DELETE, pOdd));
    EXPECT_TRUE(t.pPage->IsCommandEnabled(CTaskInfoPage2::CMD_ADD_LINKED, pDetail));
    EXPECT_FALSE(t.pPage->IsCommandEnabled(CTaskInfoPage2::CMD_ADD_LINKED, pRows));
    EXPECT_FALSE(t.pPage->IsCommandEnabled(CTaskInfoPage2::CMD_ADD_LINKED, pOdd));
    EXPECT_FALSE(t.pPage->IsCommandEnabled(CTaskInfoPage2::CMD_MODIFY, nullptr));

    // Modifying the unknown-type node keeps it a field of that type.
    OnNextModal([&](QWidget* pModal) {
        auto* pName = Child<QLineEdit>(pModal, "name");
        pName->selectAll();
        QTest::keyClicks(pName, "odd2");
        Child<QPushButton>(pModal, "ok")->click();
    });
    t.pPage->RunCommand(CTaskInfoPage2::CMD_MODIFY, pOdd, true);
    EXPECT_EQ(pOdd->text(0), QStringLiteral("odd2"));
    std::string strText = TextOf(t.sheet.GetDocument());
    EXPECT_NE(strText.find("<type>9</type>\r\n\t\t\t<name>odd2</name>\r\n\t\t\t<path>@td#td</path>"), std::string::npos)
        << strText;

    // A linked-page pick outside its block is refused, not written as a second block.
    const std::string strBefore = TextOf(t.sheet.GetDocument());
    QString refusal;
    OnNextModal([&](QWidget* pModal) {
        FillNodeDialog(pModal, NODE_TEXT, "t", "html@head@title");
        AnswerNextMessage(&refusal);
        Child<QPushButton>(pModal, "ok")->click();
    });
    t.pPage->RunCommand(CTaskInfoPage2::CMD_ADD_LINKED, pDetail);
    WaitFor([&] { return !refusal.isEmpty(); });
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("链接网页只能有一个顶层区块"))) << refusal.toStdString();
    EXPECT_EQ(TextOf(t.sheet.GetDocument()), strBefore);

    // Delete asks, then removes element and item.
    QString question;
    AnswerNextMessage(&question, QMessageBox::Yes);
    t.pPage->RunCommand(CTaskInfoPage2::CMD_DELETE, t.Item("odd2"));
    EXPECT_EQ(question, QStringLiteral("真的要删除当前节点吗？"));
    EXPECT_EQ(t.Item("odd2"), nullptr);
    EXPECT_EQ(TextOf(t.sheet.GetDocument()).find("odd2"), std::string::npos);
}

TEST(ContentPageTest, AddingNodesAsAUserPicksThem)
{
    TContent t("");
    // A text field under no block: a block "区块" is made for it.
    OnNextModal([](QWidget* pModal) {
        FillNodeDialog(pModal, NODE_TEXT, "title", "html@head@title");
        Child<QPushButton>(pModal, "ok")->click();
    });
    t.pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
    ASSERT_NE(t.Item("区块"), nullptr);
    ASSERT_NE(t.Item("title"), nullptr);
    EXPECT_EQ(t.Item("title")->parent(), t.Item("区块"));

    // A block from two picks, then a field picked in its second record.
    OnNextModal([](QWidget* pModal) {
        FillNodeDialog(pModal, NODE_BLOCK, "rows", "html@body@table@tr@td", "html@body@table@tr#tr@td");
        Child<QPushButton>(pModal, "ok")->click();
    });
    t.pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
    OnNextModal([](QWidget* pModal) {
        FillNodeDialog(pModal, NODE_ATTRIBUTE, "link", "html@body@table@tr#tr@td@a", "", "href");
        Child<QPushButton>(pModal, "ok")->click();
    });
    t.pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
    EXPECT_EQ(t.Item("link")->parent(), t.Item("rows"));
    EXPECT_EQ(t.pPage->GetTree()->currentItem(), t.Item("link"));

    // Confirming the block's dialog unchanged keeps its path and step.
    const std::string strBefore = TextOf(t.sheet.GetDocument());
    OnNextModal([](QWidget* pModal) { Child<QPushButton>(pModal, "ok")->click(); });
    t.pPage->RunCommand(CTaskInfoPage2::CMD_MODIFY, t.Item("rows"));
    EXPECT_EQ(TextOf(t.sheet.GetDocument()), strBefore);

    Child<QPushButton>(&t.sheet, "sheetOk")->click();
    EXPECT_EQ(t.sheet.result(), QDialog::Accepted);
    const std::string strText = TextOf(t.sheet.GetDocument());
    EXPECT_NE(strText.find("\t<location>\r\n\t\t<name>rows</name>\r\n\t\t<path>html@body@table@tr</path>\r\n"
                           "\t\t<step>#tr</step>\r\n\t\t<data>\r\n\t\t\t<type>3</type>\r\n\t\t\t<name>link</name>\r\n"
                           "\t\t\t<path>#tr@td@a</path>\r\n\t\t\t<order></order>\r\n\t\t\t<only>0</only>\r\n"
                           "\t\t\t<attribute>href</attribute>\r\n\t\t</data>\r\n\t</location>"),
              std::string::npos)
        << strText;
}

TEST(ContentPageTest, PreviewShowsTheRecordsOfTheSheetAsItStands)
{
    CTestSite site;
    site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    TContent t("<location><path>html@body@table@tr</path><step>#tr</step>"
               "<data><type>0</type><name>name</name><path>@td</path><order>1</order><only>1</only></data>"
               "<data><type>0</type><name>price</name><path>@td#td</path><order>2</order></data></location>",
               "http://127.0.0.1:1/unused");
    // The address typed on the General page counts before any OK.
    t.sheet.GetTabs()->setCurrentIndex(0);
    Child<QLineEdit>(t.sheet.GetGeneralPage(), "url")->setText(QString::fromStdString(site.Url("/page")));
    t.sheet.GetTabs()->setCurrentIndex(1);
    Child<QPushButton>(t.pPage, "preview")->click();
    ASSERT_TRUE(WaitFor([&] { return !t.pPage->IsPreviewRunning(); }, 10000));
    QTableWidget* pTable = t.pPage->GetPreviewTable();
    ASSERT_TRUE(WaitFor([&] { return pTable->rowCount() == 2; }, 5000)) << t.pPage->GetPreviewLog()->text().toStdString();
    EXPECT_EQ(pTable->horizontalHeaderItem(1)->text(), QStringLiteral("price"));
    EXPECT_EQ(pTable->item(1, 0)->text(), QStringLiteral("b"));
    EXPECT_TRUE(t.pPage->GetPreviewLog()->text().contains(QStringLiteral("成功摘取到2条记录。其中有2条新记录被处理。")));

    // A page that never answers: the window stays responsive and Stop ends it.
    t.sheet.GetTabs()->setCurrentIndex(0);
    Child<QLineEdit>(t.sheet.GetGeneralPage(), "url")->setText(QString::fromStdString(site.Url("/hang")));
    t.sheet.GetTabs()->setCurrentIndex(1);
    Child<QPushButton>(t.pPage, "preview")->click();
    ASSERT_TRUE(site.WaitUntil([&] { return site.m_nHanging > 0; }, 5000));
    Child<QPushButton>(t.pPage, "cancelPreview")->click();
    ASSERT_TRUE(WaitFor([&] { return t.pPage->GetPreviewLog()->text() == QStringLiteral("预览已停止。"); }, 5000));
    EXPECT_EQ(pTable->rowCount(), 0);
    // Nothing of the preview reached the definition.
    EXPECT_EQ(TextOf(t.sheet.GetDocument()).find("/hang"), std::string::npos);
}

} // namespace
