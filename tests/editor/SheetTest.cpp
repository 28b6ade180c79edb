// SheetTest.cpp - the property sheet as a user drives it: the order and the
// texts of the refusals, what OK writes, Cancel, and the small dialogs.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <filesystem>
#include <unistd.h>

#include "GuiTestSupport.h"
#include "editor/SmallDialogs.h"
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

void SetText(QLineEdit* pEdit, const QString& text)
{
    pEdit->setFocus();
    pEdit->selectAll();
    QTest::keyClick(pEdit, Qt::Key_Delete);
    // QTest types ASCII only; other text arrives as an input method would
    // commit it.
    bool bAscii = true;
    for (QChar ch : text)
        bAscii = bAscii && ch.unicode() < 0x80;
    if (bAscii)
        QTest::keyClicks(pEdit, text);
    else
        pEdit->insert(text);
}

struct TSheet {
    CTaskInfoSheet sheet;
    explicit TSheet(const char* pszDef = nullptr)
    {
        if (pszDef != nullptr)
            sheet.GetDocument().Parse(pszDef);
        sheet.Start();
        sheet.show();
        sheet.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&sheet));
    }
    QWidget* Page(int n) { return sheet.GetTabs()->widget(n); }
};

QString OkRefusal(TSheet& t)
{
    QString text;
    AnswerNextMessage(&text);
    Child<QPushButton>(&t.sheet, "sheetOk")->click();
    WaitFor([&] { return !text.isEmpty() || !t.sheet.isVisible(); });
    CancelModalHandlers();
    // The message box had no owner; the sheet becomes the active window
    // again, as it does when the user clicks it.
    if (t.sheet.isVisible()) {
        t.sheet.activateWindow();
        (void)QTest::qWaitForWindowActive(&t.sheet);
    }
    return text;
}

TEST(SheetTest, GeneralPageRefusesInOrderAndWritesAsTyped)
{
    TSheet t;
    EXPECT_EQ(t.sheet.windowTitle(), QStringLiteral("新建任务"));
    ASSERT_EQ(t.sheet.GetTabs()->count(), 5);
    EXPECT_EQ(t.sheet.GetTabs()->tabText(1), QStringLiteral("内容"));
    EXPECT_EQ(t.sheet.GetTabs()->tabText(4), QStringLiteral("高级"));
    QWidget* pPage = t.Page(0);
    auto* pName = Child<QLineEdit>(pPage, "taskName");
    auto* pPeriod = Child<QLineEdit>(pPage, "period");
    auto* pUrl = Child<QLineEdit>(pPage, "url");

    EXPECT_EQ(OkRefusal(t), QStringLiteral("请输入任务名称！"));
    EXPECT_TRUE(t.sheet.isVisible());
    EXPECT_TRUE(pName->hasFocus());

    SetText(pName, QStringLiteral("新闻"));
    for (const char* pszPeriod : {"", "0", "-5", "2592001", "abc", "4294967356"}) {
        SetText(pPeriod, QString::fromLatin1(pszPeriod));
        EXPECT_EQ(OkRefusal(t), QStringLiteral("请输入刷新频率（合法范围是1~2592000）！")) << pszPeriod;
        EXPECT_TRUE(pPeriod->hasFocus()) << pszPeriod;
        EXPECT_EQ(pPeriod->selectedText(), pPeriod->text()) << pszPeriod;
    }
    SetText(pPeriod, "60s");
    EXPECT_EQ(OkRefusal(t), QStringLiteral("请输入目标网址！"));
    EXPECT_TRUE(pName->hasFocus());

    // Leaving the address field imports its query string.
    SetText(pUrl, "http://h/page.asp?a=1&b=&c");
    pPeriod->setFocus();
    EXPECT_EQ(pUrl->text(), QStringLiteral("http://h/page.asp"));
    auto* pParams = Child<QTableWidget>(pPage, "params");
    ASSERT_EQ(pParams->rowCount(), 3);
    EXPECT_EQ(pParams->item(0, 1)->text(), QStringLiteral("1"));
    SetText(pUrl, "http://h/page.asp?a=2");
    pPeriod->setFocus();
    EXPECT_EQ(pParams->rowCount(), 3);
    EXPECT_EQ(pParams->item(0, 1)->text(), QStringLiteral("2"));

    Child<QRadioButton>(pPage, "post")->click();
    auto* pAuth = Child<QCheckBox>(pPage, "auth");
    auto* pAuthName = Child<QLineEdit>(pPage, "authName");
    EXPECT_FALSE(pAuthName->isEnabled());
    pAuth->click();
    EXPECT_TRUE(pAuthName->isEnabled());
    SetText(pAuthName, "u");
    auto* pPass = Child<QLineEdit>(pPage, "authPass");
    SetText(pPass, "p");
    EXPECT_EQ(pPass->echoMode(), QLineEdit::Password);
    Child<QCheckBox>(pPage, "showPass")->click();
    EXPECT_EQ(pPass->echoMode(), QLineEdit::Normal);

    EXPECT_EQ(OkRefusal(t), QString());
    EXPECT_EQ(t.sheet.result(), QDialog::Accepted);
    EXPECT_EQ(TextOf(t.sheet.GetDocument()),
              "\r\n<root>\r\n"
              "\t<general>\r\n\t\t<taskname>新闻</taskname>\r\n\t\t<frequence>60s</frequence>\r\n"
              "\t\t<autoload>0</autoload>\r\n\t</general>\r\n"
              "\t<network>\r\n\t\t<url>http://h/page.asp</url>\r\n\t\t<refurl></refurl>\r\n\t\t<method>1</method>\r\n"
              "\t\t<authentication>\r\n\t\t\t<name>u</name>\r\n\t\t\t<pass>p</pass>\r\n\t\t</authentication>\r\n"
              "\t\t<parameter>\r\n\t\t\t<name>a</name>\r\n\t\t\t<value>2</value>\r\n\t\t</parameter>\r\n"
              "\t\t<parameter>\r\n\t\t\t<name>b</name>\r\n\t\t\t<value></value>\r\n\t\t</parameter>\r\n"
              "\t\t<parameter>\r\n\t\t\t<name>c</name>\r\n\t\t\t<value></value>\r\n\t\t</parameter>\r\n"
              "\t</network>\r\n"
              "</root>")
        << "pages never shown write nothing";
}

TEST(SheetTest, EnterMovesTheFocusAndCancelChangesNothing)
{
    const char* pszDef = "<root><general><taskname>t</taskname><frequence>60</frequence></general>"
                         "<network><url>http://h/</url></network></root>";
    TSheet t(pszDef);
    EXPECT_EQ(t.sheet.windowTitle(), QStringLiteral("任务属性"));
    auto* pName = Child<QLineEdit>(t.Page(0), "taskName");
    EXPECT_TRUE(pName->hasFocus());
    EXPECT_EQ(pName->selectedText(), QStringLiteral("t"));
    QTest::keyClick(pName, Qt::Key_Return);
    EXPECT_TRUE(t.sheet.isVisible());
    EXPECT_TRUE(Child<QLineEdit>(t.Page(0), "period")->hasFocus());

    CMarkupDoc original;
    original.Parse(pszDef);
    SetText(pName, "changed");
    Child<QPushButton>(&t.sheet, "sheetCancel")->click();
    EXPECT_EQ(t.sheet.result(), QDialog::Rejected);
    // The caller's copy is what it was; the sheet's private copy is dropped.
    CMarkupDoc caller;
    caller.Parse(pszDef);
    EXPECT_EQ(TextOf(caller), TextOf(original));
}

TEST(SheetTest, ParameterDialogAddModifyDelete)
{
    TSheet t("<root><general><taskname>t</taskname><frequence>60</frequence></general>"
             "<network><url>http://h/</url><parameter><name>x</name><value>1</value></parameter></network></root>");
    auto* pPage = t.sheet.GetGeneralPage();
    auto* pParams = Child<QTableWidget>(pPage, "params");
    ASSERT_EQ(pParams->rowCount(), 1);

    // Add: an empty name is refused inside the dialog, then a name is given.
    QString title, refusal;
    OnNextModal([&](QWidget* pModal) {
        title = pModal->windowTitle();
        AnswerNextMessage(&refusal);
        Child<QPushButton>(pModal, "ok")->click();
        WaitFor([&] { return !refusal.isEmpty(); });
        QTest::keyClicks(Child<QLineEdit>(pModal, "name"), "y");
        QTest::keyClicks(Child<QLineEdit>(pModal, "value"), "2 3");
        Child<QPushButton>(pModal, "ok")->click();
    });
    pPage->RunCommand(10001, -1);
    EXPECT_EQ(title, QStringLiteral("添加参数"));
    EXPECT_EQ(refusal, QStringLiteral("请输入参数名！"));
    ASSERT_EQ(pParams->rowCount(), 2);
    EXPECT_EQ(pParams->item(1, 1)->text(), QStringLiteral("2 3"));

    // Modify, cancelled: nothing changes.
    OnNextModal([&](QWidget* pModal) {
        title = pModal->windowTitle();
        QTest::keyClicks(Child<QLineEdit>(pModal, "name"), "zzz");
        Child<QPushButton>(pModal, "cancel")->click();
    });
    pPage->RunCommand(10002, 0);
    EXPECT_EQ(title, QStringLiteral("修改参数"));
    EXPECT_EQ(pParams->item(0, 0)->text(), QStringLiteral("x"));

    // Delete asks first; No keeps the row, Yes removes it.
    QString question;
    AnswerNextMessage(&question, QMessageBox::No);
    pPage->RunCommand(10003, 0);
    EXPECT_EQ(question, QStringLiteral("真的要删除参数 x 吗？"));
    EXPECT_EQ(pParams->rowCount(), 2);
    AnswerNextMessage(&question, QMessageBox::Yes);
    pPage->RunCommand(10003, 0);
    ASSERT_EQ(pParams->rowCount(), 1);
    EXPECT_EQ(pParams->item(0, 0)->text(), QStringLiteral("y"));
}

TEST(SheetTest, WebPostRefusesOnlyWhenOn)
{
    TSheet t("<root><general><taskname>t</taskname><frequence>60</frequence></general>"
             "<network><url>http://h/</url></network></root>");
    t.sheet.GetTabs()->setCurrentIndex(2);
    QWidget* pPage = t.sheet.GetWebPostPage();
    auto* pUrl = Child<QLineEdit>(pPage, "url");
    EXPECT_TRUE(pUrl->isEnabled());
    Child<QCheckBox>(pPage, "webPost")->click();
    QString text;
    AnswerNextMessage(&text);
    t.sheet.GetTabs()->setCurrentIndex(3);
    WaitFor([&] { return !text.isEmpty(); });
    t.sheet.activateWindow();
    (void)QTest::qWaitForWindowActive(&t.sheet);
    EXPECT_EQ(text, QStringLiteral("请输入提交地址！"));
    EXPECT_EQ(t.sheet.GetTabs()->currentIndex(), 2) << "the page stays current";
    SetText(pUrl, "http://h/post");
    EXPECT_EQ(OkRefusal(t), QStringLiteral("请输入提交参数！"));
    EXPECT_TRUE(pUrl->hasFocus());
    Child<QPlainTextEdit>(pPage, "var")->setPlainText("t=<@@title@@>");
    EXPECT_EQ(OkRefusal(t), QString());
    const std::string strText = TextOf(t.sheet.GetDocument());
    EXPECT_NE(strText.find("<webpost>1</webpost>\r\n\t\t<webpostmethod>0</webpostmethod>\r\n"
                           "\t\t<webposturl>http://h/post</webposturl>\r\n\t\t<webpostvar>t=&lt;@@title@@&gt;</webpostvar>"),
              std::string::npos)
        << strText;
    EXPECT_EQ(strText.find("<database>"), std::string::npos) << "the database page was never shown";
}

TEST(SheetTest, DatabasePageTypesFieldsAndConnectionTest)
{
    TSheet t("<root><general><taskname>t</taskname><frequence>60</frequence></general>"
             "<network><url>http://h/</url></network>"
             "<location><path>html@body</path><data><type>0</type><name>A</name><order>1</order></data>"
             "<data><type>5</type><name>F</name><order>2</order></data></location></root>");
    t.sheet.GetTabs()->setCurrentIndex(3);
    auto* pPage = t.sheet.GetDatabasePage();
    EXPECT_TRUE(Child<QRadioButton>(pPage, "dbType0")->isChecked()) << "no database section: the file type";
    auto* pDatabase = Child<QLineEdit>(pPage, "database");
    auto* pBrowse = Child<QPushButton>(pPage, "browse");
    EXPECT_EQ(pDatabase->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(pBrowse->isVisible());
    Child<QRadioButton>(pPage, "dbType2")->click();
    SetText(pDatabase, "shop");
    EXPECT_EQ(pDatabase->echoMode(), QLineEdit::Normal);
    EXPECT_FALSE(pBrowse->isVisible());
    Child<QRadioButton>(pPage, "dbType0")->click();
    EXPECT_EQ(pDatabase->text(), QStringLiteral("shop")) << "typed texts stay";
    EXPECT_EQ(pDatabase->echoMode(), QLineEdit::Password);

    // The field dialog offers the columns of the definition, in column order.
    QStringList choices;
    QString title;
    OnNextModal([&](QWidget* pModal) {
        title = pModal->windowTitle();
        auto* pCombo = Child<QComboBox>(pModal, "value");
        for (int i = 0; i < pCombo->count(); ++i)
            choices << pCombo->itemText(i);
        QTest::keyClicks(Child<QLineEdit>(pModal, "name"), "col");
        pCombo->setEditText("typed <@@A@@>!");
        Child<QPushButton>(pModal, "ok")->click();
    });
    pPage->RunCommand(10001, -1);
    EXPECT_EQ(title, QStringLiteral("添加字段"));
    EXPECT_EQ(choices, (QStringList{"<@SKIP@>", "<@NULL@>", "<@NOW@>", "<@@A@@>", "<@@F@@>", "<@#F#@>"}));
    auto* pFields = Child<QTableWidget>(pPage, "fields");
    ASSERT_EQ(pFields->rowCount(), 1);
    EXPECT_EQ(pFields->item(0, 1)->text(), QStringLiteral("typed <@@A@@>!"));

    // An empty field name is refused without closing the dialog.
    QString refusal;
    OnNextModal([&](QWidget* pModal) {
        AnswerNextMessage(&refusal);
        Child<QPushButton>(pModal, "ok")->click();
        WaitFor([&] { return !refusal.isEmpty(); });
        Child<QPushButton>(pModal, "cancel")->click();
    });
    pPage->RunCommand(10001, -1);
    EXPECT_EQ(refusal, QStringLiteral("字段名不能为空！"));
    EXPECT_EQ(pFields->rowCount(), 1);

    // A file that does not exist fails the test, off the GUI thread.
    const std::string strMissing = "/nonexistent-" + std::to_string(::getpid()) + "/x.sqlite";
    SetText(Child<QLineEdit>(pPage, "server"), QString::fromStdString(strMissing));
    QString result;
    AnswerNextMessage(&result);
    Child<QPushButton>(pPage, "test")->click();
    EXPECT_TRUE(WaitFor([&] { return !result.isEmpty(); }, 35000));
    EXPECT_TRUE(result.startsWith(QStringLiteral("连接失败！"))) << result.toStdString();
    EXPECT_FALSE(std::filesystem::exists(strMissing));

    // An existing SQLite file connects.
    const std::string strFile =
        (std::filesystem::temp_directory_path() / ("sheet-db-" + std::to_string(::getpid()) + ".sqlite")).string();
    { FILE* pFile = fopen(strFile.c_str(), "wb"); fclose(pFile); }
    SetText(Child<QLineEdit>(pPage, "server"), QString::fromStdString(strFile));
    result.clear();
    AnswerNextMessage(&result);
    Child<QPushButton>(pPage, "test")->click();
    EXPECT_TRUE(WaitFor([&] { return !result.isEmpty(); }, 35000));
    EXPECT_EQ(result, QStringLiteral("连接成功！"));
    std::filesystem::remove(strFile);

    Child<QCheckBox>(pPage, "saveToDb")->click();
    SetText(Child<QLineEdit>(pPage, "table"), "news");
    EXPECT_EQ(OkRefusal(t), QString());
    const std::string strText = TextOf(t.sheet.GetDocument());
    const std::string strExpect = "\t<database>\r\n\t\t<type>0</type>\r\n\t\t<server>" + strFile +
                                  "</server>\r\n\t\t<database>shop</database>\r\n\t\t<account></account>\r\n"
                                  "\t\t<password></password>\r\n\t\t<savetodb>1</savetodb>\r\n"
                                  "\t\t<tablename>news</tablename>\r\n\t\t<datafield>\r\n\t\t\t<name>col</name>\r\n"
                                  "\t\t\t<value>typed &lt;@@A@@&gt;!</value>\r\n\t\t</datafield>\r\n\t</database>";
    EXPECT_NE(strText.find(strExpect), std::string::npos) << strText;
}

TEST(SheetTest, AdvancedPageWritesTheEngineKeys)
{
    TSheet t("<root><general><taskname>t</taskname><frequence>60</frequence></general>"
             "<network><url>http://h/</url><charset>GBK</charset>"
             "<header><name>X-A</name><value>1</value></header></network></root>");
    t.sheet.GetTabs()->setCurrentIndex(4);
    QWidget* pPage = t.sheet.GetTabs()->widget(4);
    EXPECT_EQ(Child<QLineEdit>(pPage, "charset")->text(), QStringLiteral("GBK"));
    auto* pHeaders = Child<QPlainTextEdit>(pPage, "headers");
    EXPECT_EQ(pHeaders->toPlainText(), QStringLiteral("X-A: 1\n"));
    Child<QLineEdit>(pPage, "charset")->clear();
    Child<QLineEdit>(pPage, "timeout")->setText("15");
    Child<QLineEdit>(pPage, "retries")->setText("2");
    Child<QLineEdit>(pPage, "robots")->setText("1");
    pHeaders->setPlainText("X-A: 2\n\nAccept-Language :  zh-CN \n");
    EXPECT_EQ(OkRefusal(t), QString());
    const std::string strText = TextOf(t.sheet.GetDocument());
    EXPECT_NE(strText.find("<charset></charset>"), std::string::npos) << strText;
    EXPECT_NE(strText.find("<timeout>15</timeout>\r\n\t\t<retries>2</retries>\r\n\t\t<robots>1</robots>\r\n"
                           "\t\t<header>\r\n\t\t\t<name>X-A</name>\r\n\t\t\t<value>2</value>\r\n\t\t</header>\r\n"
                           "\t\t<header>\r\n\t\t\t<name>Accept-Language</name>\r\n\t\t\t<value>zh-CN</value>\r\n"
                           "\t\t</header>\r\n\t</network>"),
              std::string::npos)
        << strText;
    EXPECT_EQ(strText.find("useragent"), std::string::npos) << "an empty key that was not there stays away";
    EXPECT_NE(strText.find("<retries>2</retries>"), std::string::npos) << strText;
    EXPECT_NE(strText.find("<robots>1</robots>"), std::string::npos) << strText;
    EXPECT_EQ(strText.find("retrydelay"), std::string::npos) << strText;
}

TEST(SheetTest, AdvancedPageWritesTheRecordKeysToTheirSections)
{
    TSheet t("<root><general><taskname>t</taskname><frequence>60</frequence><gone>4</gone></general>"
             "<network><url>http://h/</url></network></root>");
    t.sheet.GetTabs()->setCurrentIndex(4);
    QWidget* pPage = t.sheet.GetTabs()->widget(4);
    EXPECT_EQ(Child<QLineEdit>(pPage, "gone")->text(), QStringLiteral("4"));
    EXPECT_EQ(Child<QLineEdit>(pPage, "changes")->text(), QString());
    Child<QLineEdit>(pPage, "changes")->setText("1");
    Child<QLineEdit>(pPage, "gone")->setText("3");
    Child<QLineEdit>(pPage, "postchanges")->setText("1");
    Child<QLineEdit>(pPage, "updatechanges")->setText("1");
    EXPECT_EQ(OkRefusal(t), QString());
    const CMarkupDoc& doc = t.sheet.GetDocument();
    const CMarkupNode* pRoot = doc.FindTopLevel(KEY_ROOT);
    ASSERT_NE(pRoot, nullptr);
    const auto key = [&](const char* pszSection, const char* pszKey) {
        return std::string(GetKeyText(pRoot->FindChild(pszSection), pszKey));
    };
    const std::string strText = TextOf(doc);
    EXPECT_EQ(key(KEY_GENERAL, "changes"), "1") << strText;
    EXPECT_EQ(key(KEY_GENERAL, "gone"), "3") << strText;
    EXPECT_EQ(key(KEY_NETWORK, "postchanges"), "1") << strText;
    EXPECT_EQ(key(KEY_DATABASE, "updatechanges"), "1") << strText;
    EXPECT_EQ(strText.find("<updatechanges>"), strText.rfind("<updatechanges>")) << "one element: " << strText;
}

} // namespace
