// main.cpp - quarvex, the desktop application.
#include "Application.h"
#include "MainFrame.h"
#include "SingleInstance.h"
#include "DefinitionEditor.h"
#include "editor/TaskInfoSheet.h"
#include "editor/picker/BrowserPicker.h"
#include "platform/ProgramDir.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    static const char s_szUsage[] =
        "usage: quarvex [--login] [Qt options]\n"
        "  --login  log in at once with the name and password remembered in Config.dat\n";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(s_szUsage, stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);  // Takes Qt's own options out of the list.
    bool bLoginAtOnce = false;
    const QStringList aArgs = QCoreApplication::arguments();
    for (qsizetype i = 1; i < aArgs.size(); ++i) {
        if (aArgs[i] != "--login") {
            std::fputs(s_szUsage, stderr);
            return 2;
        }
        bLoginAtOnce = true;
    }
    QApplication::setApplicationName("Quarvex");
    QApplication::setWindowIcon(QIcon(":/quarvex/quarvex.png"));

    quarvex::CSingleInstance instance;
    if (instance.SignalRunningCopy())
        return 0;

    // Qt's own button texts in Chinese, like the rest of the program.
    QTranslator translator;
    if (translator.load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&translator);

    // "新建任务" and "任务属性" open the task property sheet.
    quarvex::SetDefinitionEditor(quarvex::EditTaskDefinition);
    // The node dialog's picker icons are dragged onto the editor's browser.
    quarvex::CBrowserPicker picker;
    picker.FollowNodeDialogs();
    quarvex::CNodeDialog::SetPicker(&picker);
    quarvex::CQuarvexApp quarvexApp(quarvex::GetProgramDir());
    QObject::connect(&instance, &quarvex::CSingleInstance::Activated, [&quarvexApp] {
        if (quarvexApp.GetFrame() != nullptr) {
            quarvexApp.GetFrame()->BringToFront();
        } else if (QWidget* pDialog = QApplication::activeModalWidget()) {
            // Still at the login: that is the window the user sees.
            pDialog->raise();
            pDialog->activateWindow();
        }
    });
    if (!quarvexApp.Start(bLoginAtOnce))
        return 0;
    return app.exec();
}
