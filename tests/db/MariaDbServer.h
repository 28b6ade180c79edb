// MariaDbServer.h - a private MariaDB server for tests: its own data folder
// under /tmp, listening on 127.0.0.1 only, with the account and database the
// tests use. Start fails (never skips) when the server cannot be brought up.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class CMariaDbServer {
public:
    static constexpr const char* ACCOUNT = "quarvex";
    static constexpr const char* PASSWORD = "secret";
    static constexpr const char* DATABASE = "quarvex_test";

    CMariaDbServer() = default;
    ~CMariaDbServer() { Stop(); }
    CMariaDbServer(const CMariaDbServer&) = delete;
    CMariaDbServer& operator=(const CMariaDbServer&) = delete;

    // Installs a data folder, starts mariadbd with aExtraOptions added and
    // waits (at most 60 s) until the test account can log in.
    bool Start(std::string& strError, const std::vector<std::string>& aExtraOptions = {});
    // Stops the server and removes its folder. Safe to call twice.
    void Stop();

    unsigned Port() const { return m_nPort; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_nPort); }

private:
    // Starts mariadbd once on a fresh port and waits for the account.
    bool Launch(const std::vector<std::string>& aExtraOptions, std::string& strError);

    std::string m_strDir;
    unsigned m_nPort = 0;
    pid_t m_hServer = -1;
};
