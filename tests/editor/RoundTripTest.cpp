// RoundTripTest.cpp - a task made in the sheet as a user makes it, stored in
// a real task store, opened again with every field as entered, and run.
#include <gtest/gtest.h>

#include <sodium.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <unistd.h>

#include "GuiTestSupport.h"
#include "../engine/TaskTestSupport.h"
#include "editor/TaskInfoSheet.h"
#include "engine/Task.h"
#include "server/StoreServer.h"
#include "server/StoreService.h"
#include "store/StoreClient.h"

namespace {

using namespace quarvex;

template <class T>
T* Child(QWidget* pParent, const char* pszName)
{
    T* p = pParent->findChild<T*>(QString::fromLatin1(pszName));
    EXPECT_NE(p, nullptr) << pszName;
    return p;
}

void AddNodeAsPicked(CTaskInfoPage2* pPage, int nType, const char* pszName, const char* pszPath,
                     const char* pszSibling, const char* pszOrder, bool bOnly)
{
    OnNextModal([=](QWidget* pModal) {
        Child<QRadioButton>(pModal, QStringLiteral("type%1").arg(nType).toLatin1().constData())->click();
        Child<QLineEdit>(pModal, "name")->setText(QString::fromUtf8(pszName));
        Child<QPlainTextEdit>(pModal, "path")->setPlainText(pszPath);
        Child<QPlainTextEdit>(pModal, "sibling")->setPlainText(pszSibling);
        Child<QLineEdit>(pModal, "order")->setText(pszOrder);
        if (bOnly)
            Child<QCheckBox>(pModal, "only")->click();
        Child<QPushButton>(pModal, "ok")->click();
    });
    pPage->RunCommand(CTaskInfoPage2::CMD_ADD, nullptr);
}

TEST(RoundTripTest, MadeInTheSheetStoredReopenedAndRun)
{
    CTestSite site;
    site.SetPage(MakeTablePage({{"苹果", "3"}, {"梨", "5"}}));
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("editor-roundtrip-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    StoreOptions options;
    options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    CStoreServer server(options);
    std::string strError;
    ASSERT_TRUE(server.Open((dir / "store.db").string(), strError)) << strError;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, strError, 4)) << strError;
    ASSERT_TRUE(server.GetService().AddUser("alice", "secret", strError)) << strError;
    const std::string strStore = "127.0.0.1:" + std::to_string(server.GetPort());

    // Made in the sheet.
    std::string strText;
    {
        CTaskInfoSheet sheet;
        sheet.Start();
        sheet.show();
        sheet.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));
        QWidget* pGeneral = sheet.GetGeneralPage();
        Child<QLineEdit>(pGeneral, "taskName")->setText(QStringLiteral("水果价格"));
        Child<QLineEdit>(pGeneral, "period")->setText("30");
        Child<QCheckBox>(pGeneral, "autoLoad")->click();
        Child<QLineEdit>(pGeneral, "url")->setFocus();
        Child<QLineEdit>(pGeneral, "url")->setText(QString::fromStdString(site.Url("/page") + "?q=1"));
        Child<QLineEdit>(pGeneral, "refUrl")->setFocus();  // imports q=1
        Child<QLineEdit>(pGeneral, "refUrl")->setText("http://ref.example/");
        Child<QCheckBox>(pGeneral, "auth")->click();
        Child<QLineEdit>(pGeneral, "authName")->setText("u");
        Child<QLineEdit>(pGeneral, "authPass")->setText("p w");
        sheet.GetTabs()->setCurrentIndex(1);
        ASSERT_EQ(sheet.GetTabs()->currentIndex(), 1);
        CTaskInfoPage2* pContent = sheet.GetContentPage();
        AddNodeAsPicked(pContent, 0, "行", "html@body@table@tr@td", "html@body@table@tr#tr@td", "", false);
        AddNodeAsPicked(pContent, 1, "名称", "html@body@table@tr@td", "", "1", true);
        AddNodeAsPicked(pContent, 1, "价格", "html@body@table@tr@td#td", "", "2", false);
        sheet.GetTabs()->setCurrentIndex(3);
        Child<QLineEdit>(sheet.GetDatabasePage(), "table")->setText("fruit");
        Child<QPushButton>(&sheet, "sheetOk")->click();
        ASSERT_EQ(sheet.result(), QDialog::Accepted);
        sheet.GetDocument().SaveToString(strText);
    }

    // Stored, then loaded by another session.
    CStoreClient writer(strStore);
    ASSERT_EQ(writer.Login("alice", "secret"), StoreLogin::OK);
    const std::optional<std::string> id = writer.AddTask(strText);
    ASSERT_TRUE(id.has_value());
    CStoreClient reader(strStore);
    ASSERT_EQ(reader.Login("alice", "secret"), StoreLogin::OK);
    const std::optional<std::string> loaded = reader.LoadTask(*id, reader.GetToken());
    ASSERT_TRUE(loaded.has_value());

    // Reopened: every field as entered.
    {
        CTaskInfoSheet sheet;
        sheet.GetDocument().Parse(loaded->c_str());
        sheet.Start();
        sheet.show();
        EXPECT_EQ(sheet.windowTitle(), QStringLiteral("任务属性"));
        QWidget* pGeneral = sheet.GetGeneralPage();
        EXPECT_EQ(Child<QLineEdit>(pGeneral, "taskName")->text(), QStringLiteral("水果价格"));
        EXPECT_EQ(Child<QLineEdit>(pGeneral, "period")->text(), QStringLiteral("30"));
        EXPECT_TRUE(Child<QCheckBox>(pGeneral, "autoLoad")->isChecked());
        EXPECT_EQ(Child<QLineEdit>(pGeneral, "url")->text(), QString::fromStdString(site.Url("/page")));
        EXPECT_EQ(Child<QLineEdit>(pGeneral, "refUrl")->text(), QStringLiteral("http://ref.example/"));
        EXPECT_TRUE(Child<QRadioButton>(pGeneral, "get")->isChecked());
        EXPECT_TRUE(Child<QCheckBox>(pGeneral, "auth")->isChecked());
        EXPECT_EQ(Child<QLineEdit>(pGeneral, "authPass")->text(), QStringLiteral("p w"));
        auto* pParams = Child<QTableWidget>(pGeneral, "params");
        ASSERT_EQ(pParams->rowCount(), 1);
        EXPECT_EQ(pParams->item(0, 0)->text() + "=" + pParams->item(0, 1)->text(), QStringLiteral("q=1"));
        sheet.GetTabs()->setCurrentIndex(1);
        QTreeWidget* pTree = sheet.GetContentPage()->GetTree();
        ASSERT_EQ(pTree->topLevelItemCount(), 1);
        QTreeWidgetItem* pBlock = pTree->topLevelItem(0);
        EXPECT_EQ(pBlock->text(0), QStringLiteral("行"));
        ASSERT_EQ(pBlock->childCount(), 2);
        EXPECT_EQ(pBlock->child(1)->text(0), QStringLiteral("价格"));
        pTree->setCurrentItem(pBlock);
        EXPECT_EQ(sheet.GetContentPage()->GetProperties()->item(3, 1)->text(), QStringLiteral("html@body@table@tr#tr"));
        sheet.GetTabs()->setCurrentIndex(3);
        EXPECT_EQ(Child<QLineEdit>(sheet.GetDatabasePage(), "table")->text(), QStringLiteral("fruit"));
        Child<QPushButton>(&sheet, "sheetCancel")->click();
    }

    // Run: the rows of the page.
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(loaded->c_str()));
    ASSERT_TRUE(task.RunPass());
    EXPECT_EQ(task.GetDataList().GetRows(), (std::vector<CDataRow>{{"苹果", "3"}, {"梨", "5"}}));
    {
        std::lock_guard lock(site.m_mutex);
        ASSERT_FALSE(site.m_aPageRequests.empty());
        EXPECT_EQ(site.m_aPageRequests.back().strTarget, "/page?q=1");
    }
    std::filesystem::remove_all(dir);
}

} // namespace
