// Application.h - the start-up sequence: settings, the store (embedded when
// Config.dat names none), login, splash, examples, the main window.
#pragma once

#include "AppContext.h"

#include <memory>

namespace quarvex {

class CMainFrame;
class CSplashWnd;

class CQuarvexApp {
public:
    explicit CQuarvexApp(std::string strProgramDir);
    ~CQuarvexApp();

    // Runs the sequence up to the shown main window; false when the
    // application is to end at once (login cancelled, store not started).
    // With bLoginAtOnce, a remembered name and password are tried first and
    // the login dialog shows only when they are refused.
    bool Start(bool bLoginAtOnce = false);

    CAppContext& GetContext() { return m_context; }
    CMainFrame* GetFrame() const { return m_pFrame.get(); }

private:
    CAppContext m_context;
    std::unique_ptr<CMainFrame> m_pFrame;
};

} // namespace quarvex
