// DatabaseSink.h - where a run pass stores its new records: one table of a
// SQLite file (type 0), an ODBC data source (type 1) or a MariaDB/MySQL server
// (type 2). A sink lives for one pass: Open once, InsertRecord per new record
// while it keeps answering true, then Release (or destroy it).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The values of root@database@type. Any other value connects like MySQL but
// inserts nothing, which is what the task editor's old files may hold.
enum EDbType {
    DB_TYPE_SQLITE = 0,  // server: file path, relative to the program directory
    DB_TYPE_ODBC = 1,    // server: a DSN name, or a whole connection string with '='
    DB_TYPE_MYSQL = 2,   // server: host or host:port
};

// The database section of a task definition, as the task read it.
struct CDbSettings {
    int m_nType = DB_TYPE_SQLITE;
    std::string m_strServer;
    std::string m_strDatabase;
    std::string m_strAccount;
    std::string m_strPassword;
    std::string m_strTable;                 // Pasted into statements unchanged.
    std::vector<std::string> m_aFieldNames;   // Column names of the table...
    std::vector<std::string> m_aFieldValues;  // ...and their value templates, same length.
    // Where a relative SQLite path starts, ending in '/'. Empty: the folder of
    // the running executable.
    std::string m_strProgramDir;
    // How long any connect, query or locked file may hold the pass before the
    // back-end gives up; 0 or less means the standard 30 seconds.
    int m_nTimeoutSeconds = 30;
};

// One record column as value templates see it: its name (what "<@@name@@>"
// refers to) and whether its value is the path of a saved linked file (the
// node type 5), which "<@#name#@>" reads.
struct CDbColumn {
    std::string m_strName;
    bool m_bLinkedFile = false;
};

// Receives one log message, without time stamp or line end; the task's Log
// adds them. Called on the thread that calls the sink.
using DbLogFn = std::function<void(const std::string& strMessage)>;

class CDatabaseSink {
public:
    virtual ~CDatabaseSink() = default;
    CDatabaseSink(const CDatabaseSink&) = delete;
    CDatabaseSink& operator=(const CDatabaseSink&) = delete;

    // Connects and, for SQLite and ODBC, reads the table's column list. Logs
    // its own failure line ("连接数据库失败！..."); the result is the pass's
    // usable flag. Call once.
    virtual bool Open() = 0;

    // Stores one record (one text per column, in column order; missing
    // entries read as empty). Logs its failure ("保存摘取到的内容到数据库失败！...")
    // and answers false; the pass then stops inserting. Only after Open
    // answered true. A SQLite sink keeps records for a moment and writes
    // them together in one short transaction, so a failure may come to
    // light one call (or the Release) later.
    virtual bool InsertRecord(const std::vector<std::string>& aRecord) = 0;

    // Changes the row of an earlier record: UPDATE table SET (every other
    // field) WHERE (the fields named in aWhereFields) equal the record's
    // values. Logs its failure and answers false like InsertRecord. A back-end
    // that cannot update says so in the log once and answers true, since no
    // retry could ever succeed.
    virtual bool UpdateRecord(const std::vector<std::string>& aRecord, const std::vector<std::string>& aWhereFields);

    // Writes what is kept back now. True when every record taken so far is
    // committed; false after a failure (logged like a failed insert).
    virtual bool Flush() { return true; }
    // Whether records taken by InsertRecord are still kept back, not yet
    // committed (their success is not known yet).
    virtual bool HasUnwritten() const { return false; }

    // Writes what is still kept back and closes the connection. Safe to
    // call more than once; the destructor calls it too. A write that fails
    // is logged like a failed insert.
    virtual void Release() = 0;

protected:
    CDatabaseSink() = default;
    DbLogFn m_fnUpdateLog;  // Where the refusal of UpdateRecord is said.

private:
    bool m_bUpdateRefusalSaid = false;
};

// Makes the sink for settings.m_nType. Never null; nothing is connected until
// Open. The columns describe the records that InsertRecord will get.
std::unique_ptr<CDatabaseSink> CreateDatabaseSink(const CDbSettings& settings,
                                                  std::vector<CDbColumn> aColumns,
                                                  DbLogFn fnLog);

// The column a template names as a whole: "<@@name@@>" or "<@#name#@>" with
// the name of a column (exact bytes), else -1. The first equal column wins.
int FindTemplateColumn(std::string_view strTemplate, const std::vector<CDbColumn>& aColumns);

// The Database page's connection test: connects with the type, server,
// database, account and password of settings (nothing else is used) and
// closes again. On failure strReason gets the driver's reason, which may be
// empty. A SQLite file that does not exist fails; nothing is created.
bool TestDatabaseConnection(const CDbSettings& settings, std::string& strReason);
