// TempDir.h - a fresh directory under /tmp for one test, removed with all it
// holds when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class CTempDir {
public:
    CTempDir()
    {
        char szTemplate[] = "/tmp/quarvex-markup-XXXXXX";
        const char* pszDir = mkdtemp(szTemplate);
        m_strPath = pszDir != nullptr ? pszDir : "";
    }
    ~CTempDir()
    {
        std::error_code ec;
        if (!m_strPath.empty())
            std::filesystem::remove_all(m_strPath, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    bool IsValid() const { return !m_strPath.empty(); }
    // The directory with a trailing '/'.
    std::string Dir() const { return m_strPath + "/"; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

    // Writes bytes to a file in the directory and returns its path.
    std::string Write(const std::string& strName, const std::string& strBytes) const
    {
        const std::string strPath = File(strName);
        std::ofstream(strPath, std::ios::binary) << strBytes;
        return strPath;
    }
    static std::string Read(const std::string& strPath)
    {
        std::ifstream in(strPath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string m_strPath;
};
