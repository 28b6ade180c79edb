// TempDir.cpp - CTempDir and FindFreePort.
#include "TempDir.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

CTempDir::CTempDir()
{
    const char* pszBase = std::getenv("TMPDIR");
    std::string strTemplate = std::string(pszBase != nullptr && *pszBase != '\0' ? pszBase : "/tmp") + "/quarvex-XXXXXX";
    if (mkdtemp(strTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    m_strPath = strTemplate;
}

CTempDir::~CTempDir()
{
    std::error_code error;
    std::filesystem::remove_all(m_strPath, error);
}

std::string CTempDir::WriteFile(std::string_view strName, std::string_view strContent) const
{
    const std::filesystem::path path = std::filesystem::path(m_strPath) / strName;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
    return path.string();
}

int FindFreePort()
{
    const int hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof addr;
    int nPort = 0;
    if (bind(hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && getsockname(hSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0)
        nPort = ntohs(addr.sin_port);
    close(hSocket);
    return nPort;
}
