// PostgresServer.h - a private PostgreSQL server for tests, from Debian's
// postgresql package: its own cluster in a temporary folder, on a free
// 127.0.0.1 port with its socket in that folder, trusting local logins.
// PostgreSQL refuses to run as root, so under root it runs as the
// `postgres` user. It stops with its owner, or with the test program.
#pragma once

#include <string>
#include <sys/types.h>

class CPostgresServer {
public:
    // The superuser the cluster is made with; every test database is its.
    static constexpr const char* USER = "quarvex";

    CPostgresServer() = default;
    ~CPostgresServer() { Stop(); }
    CPostgresServer(const CPostgresServer&) = delete;
    CPostgresServer& operator=(const CPostgresServer&) = delete;

    // The folder of initdb and postgres (the newest installed version);
    // empty when the package is not installed.
    static std::string FindBinDir();

    // Makes the cluster, starts the server and waits (at most 60 s) until it
    // takes connections.
    bool Start(std::string& strError);
    // Stops the server and removes its folder. Safe to call twice.
    void Stop();

    int Port() const { return m_nPort; }
    // A new empty database; its libpq URI, or empty with strError.
    std::string CreateDatabase(std::string& strError);
    // The URI of the named database on this server.
    std::string Uri(const std::string& strDatabase) const;

private:
    bool Launch(const std::string& strBin, std::string& strError);

    std::string m_strDir;
    int m_nPort = 0;
    pid_t m_nPid = -1;
    int m_nDatabases = 0;
};

// The server shared by one test program, started at its first use and
// stopped when the program ends; null with strError when it cannot start.
CPostgresServer* SharedPostgresServer(std::string& strError);

// True when the store tests of this run use PostgreSQL
// (QUARVEX_TEST_STORE=postgresql), else SQLite files.
bool StoreTestsOnPostgres();
// True when the store tests should use PostgreSQL but it is not installed:
// they skip, saying so.
bool StorePostgresMissing();
// Where a store test keeps its database: a fresh PostgreSQL database when
// StoreTestsOnPostgres(), else strDir + "/store.db". When no PostgreSQL
// database can be made, says why on standard error and gives a URI that
// every store fails to open, so the test fails.
std::string StoreDbForTest(const std::string& strDir);

// True when the record state tests of this run keep the state in PostgreSQL
// (QUARVEX_TEST_RECORDS=postgresql), else in SQLite files.
bool RecordTestsOnPostgres();
// True when they should, but PostgreSQL is not installed: they skip.
bool RecordPostgresMissing();
// strFile, or "<a fresh database's URI>#task" when RecordTestsOnPostgres();
// when no database can be made, says why and gives a state no task opens.
std::string RecordStateForTest(const std::string& strFile);
