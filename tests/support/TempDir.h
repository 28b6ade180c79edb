// TempDir.h - a temporary directory that lives as long as its owner and is
// removed with everything in it afterwards.
#pragma once

#include <string>
#include <string_view>

class CTempDir
{
public:
    CTempDir();   // Under $TMPDIR or /tmp; aborts the test program when none can be made.
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& GetPath() const { return m_strPath; }  // No trailing '/'.
    // strName joined to the directory; its parent directories are created.
    std::string WriteFile(std::string_view strName, std::string_view strContent) const;

private:
    std::string m_strPath;
};

// A TCP port on 127.0.0.1 that was free a moment ago. Another process may take
// it before the caller binds it, so callers that can should bind port 0.
int FindFreePort();
