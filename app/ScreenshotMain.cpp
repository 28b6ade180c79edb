// ScreenshotMain.cpp - quarvex-screenshots OUTDIR: starts the application
// as `quarvex --login` does (scripts/screenshots.sh prepares the program
// directory), waits for the first task's rows, and saves a picture of each
// window in the table below. Add a window by adding a row.
#include "Application.h"
#include "ConfigDialog.h"
#include "DataModel.h"
#include "LoginDlg.h"
#include "MainFrame.h"
#include "TaskView.h"
#include "TaskWnd.h"
#include "editor/NodeDialog.h"
#include "editor/TaskInfoSheet.h"
#include "platform/ProgramDir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLibraryInfo>
#include <QLocale>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTreeWidget>
#include <QThread>
#include <QTranslator>

#include <cstdio>
#include <functional>

namespace {

// Lets queued reports and paints through for nMs milliseconds.
void Pump(int nMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < nMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool Save(QWidget* pWidget, const QString& strPath)
{
    pWidget->raise();
    Pump(300);
    const bool bSaved = pWidget->grab().save(strPath);
    std::printf("%s %s\n", bSaved ? "saved" : "FAILED", qPrintable(strPath));
    return bSaved;
}

// The task property sheet on the running task's definition, on page nPage.
// For the content page the first field is selected and a preview is run.
bool SaveSheet(QWidget* pParent, const quarvex::CMarkupDoc& def, int nPage, const QString& strPath)
{
    quarvex::CTaskInfoSheet sheet(pParent);
    sheet.LoadDefinition(def);
    sheet.Start();
    sheet.show();
    sheet.GetTabs()->setCurrentIndex(nPage);
    if (nPage == 1) {
        quarvex::CTaskInfoPage2* pContent = sheet.GetContentPage();
        QTreeWidgetItem* pBlock = pContent->GetTree()->topLevelItem(0);
        if (pBlock != nullptr)
            pContent->GetTree()->setCurrentItem(pBlock->childCount() > 0 ? pBlock->child(0) : pBlock);
        pContent->StartPreview();
        QElapsedTimer timer;
        timer.start();
        while (pContent->IsPreviewRunning() && timer.elapsed() < 20000)
            Pump(100);
        for (int i = 0; i < pContent->GetPreviewTable()->columnCount(); ++i)
            pContent->GetPreviewTable()->setColumnWidth(i, 110);
    }
    return Save(&sheet, strPath);
}

// The node dialog over the sheet: empty (add) or on the first field (edit).
bool SaveNodeDialog(QWidget* pParent, const quarvex::CMarkupDoc& def, bool bEdit, const QString& strPath)
{
    quarvex::CTaskInfoSheet sheet(pParent);
    sheet.LoadDefinition(def);
    sheet.Start();
    quarvex::SNodeFields fields;
    if (bEdit) {
        const quarvex::CMarkupNode* pData = def.FindPath("root@location@data");
        if (pData != nullptr)
            fields = quarvex::ReadNodeFields(pData);
    }
    quarvex::CNodeDialog dialog(sheet.GetContentPage(), fields);
    dialog.show();
    const bool bSaved = Save(&dialog, strPath);
    dialog.reject();
    return bSaved;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: quarvex-screenshots OUTDIR\n", stderr);
        return 2;
    }
    const QString strOut = QString::fromLocal8Bit(argv[1]) + "/";
    QTranslator translator;
    if (translator.load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&translator);

    quarvex::CQuarvexApp quarvexApp(quarvex::GetProgramDir());
    if (!quarvexApp.Start(true)) {
        std::fputs("quarvex-screenshots: the application did not start\n", stderr);
        return 1;
    }
    quarvex::CMainFrame* pFrame = quarvexApp.GetFrame();
    pFrame->resize(980, 600);
    quarvex::CTaskWnd* pTask = pFrame->GetTaskView()->GetSelectedTask();
    if (pTask == nullptr) {
        std::fputs("quarvex-screenshots: no task was loaded\n", stderr);
        return 1;
    }
    QElapsedTimer timer;
    timer.start();
    while (pTask->GetModel()->rowCount() == 0 && timer.elapsed() < 20000)
        Pump(100);
    Pump(1500);  // A countdown tick or two.
    for (int i = 0; i < pTask->GetModel()->columnCount(); ++i)
        pTask->GetDataList()->setColumnWidth(i, i == 0 ? 150 : (i == 3 ? 220 : (i == 4 ? 150 : 100)));

    bool bAll = true;
    const std::vector<std::pair<const char*, std::function<bool(const QString&)>>> aShots = {
        { "main-window.png", [&](const QString& strPath) { return Save(pFrame, strPath); } },
        { "log-tab.png", [&](const QString& strPath) {
              pTask->GetTabs()->setCurrentIndex(1);
              const bool bSaved = Save(pFrame, strPath);
              pTask->GetTabs()->setCurrentIndex(0);
              return bSaved;
          } },
        { "data-list-marks.png", [&](const QString& strPath) {
              // How kept rows look once a page changed: the second row's
              // values changed, the last one left the page.
              CDataList& rows = pTask->GetTask().GetDataList();
              const std::size_t nRows = rows.GetCount();
              if (nRows >= 3) {
                  rows.SetRowState(1, ROW_CHANGED);
                  rows.SetRowState(nRows - 1, ROW_GONE);
              }
              pTask->GetModel()->ReloadRows();
              for (int i = 0; i < pTask->GetModel()->columnCount(); ++i)
                  pTask->GetDataList()->setColumnWidth(i, i == 0 ? 150 : (i == 3 ? 220 : (i == 4 ? 150 : 100)));
              const bool bSaved = Save(pFrame, strPath);
              if (nRows >= 3) {
                  rows.SetRowState(1, ROW_KEPT);
                  rows.SetRowState(nRows - 1, ROW_KEPT);
              }
              pTask->GetModel()->ReloadRows();
              return bSaved;
          } },
        { "config-dialog.png", [&](const QString& strPath) {
              quarvex::CConfigDialog dialog(quarvexApp.GetContext(), pFrame);
              dialog.show();
              return Save(&dialog, strPath);
          } },
        { "config-dialog-advanced.png", [&](const QString& strPath) {
              quarvex::CConfigDialog dialog(quarvexApp.GetContext(), pFrame);
              if (auto* pTabs = dialog.findChild<QTabWidget*>())
                  pTabs->setCurrentIndex(1);
              dialog.show();
              return Save(&dialog, strPath);
          } },
        { "login-dialog.png", [&](const QString& strPath) {
              quarvex::CLoginDlg dialog(quarvexApp.GetContext(), pFrame);
              dialog.SetUserName("demo");
              dialog.SetPassword("demo");
              dialog.show();
              return Save(&dialog, strPath);
          } },
        { "editor-general.png", [&](const QString& strPath) {
              return SaveSheet(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), 0, strPath);
          } },
        { "editor-content.png", [&](const QString& strPath) {
              return SaveSheet(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), 1, strPath);
          } },
        { "editor-webpost.png", [&](const QString& strPath) {
              return SaveSheet(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), 2, strPath);
          } },
        { "editor-database.png", [&](const QString& strPath) {
              return SaveSheet(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), 3, strPath);
          } },
        { "editor-advanced.png", [&](const QString& strPath) {
              return SaveSheet(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), 4, strPath);
          } },
        { "node-dialog-add.png", [&](const QString& strPath) {
              return SaveNodeDialog(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), false, strPath);
          } },
        { "node-dialog-edit.png", [&](const QString& strPath) {
              return SaveNodeDialog(pFrame->GetTaskView(), pTask->GetTask().GetDefinition(), true, strPath);
          } },
    };
    for (const auto& shot : aShots)
        bAll = shot.second(strOut + shot.first) && bAll;

    pFrame->close();
    timer.restart();
    while (!pFrame->IsClosed() && timer.elapsed() < 10000)
        Pump(100);
    return bAll ? 0 : 1;
}
