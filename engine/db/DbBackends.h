// DbBackends.h - the three back-ends behind CreateDatabaseSink and
// TestDatabaseConnection, and the log lines they share. Internal to quarvex_db.
#pragma once

#include "DatabaseSink.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Every back-end gives up on a server that does not answer after this long,
// so a hanging connection cannot hold a pass for ever.
constexpr int DB_TIMEOUT_SECONDS = 30;
inline int GetTimeoutSeconds(const CDbSettings& settings)
{
    return settings.m_nTimeoutSeconds > 0 ? settings.m_nTimeoutSeconds : DB_TIMEOUT_SECONDS;
}

// "连接数据库失败！原因：%s。摘取到的内容将无法保存到数据库。"; when the
// reason is empty and bOmitEmptyReason is set, the line that names none.
std::string MakeConnectFailure(const std::string& strReason, bool bOmitEmptyReason);
// "保存摘取到的内容到数据库失败！原因：%s。"
std::string MakeInsertFailure(const std::string& strReason);

// What every back-end keeps for its pass: the settings, the record's
// columns and the task's log.
class CSinkBase : public CDatabaseSink {
protected:
    CSinkBase(const CDbSettings& settings, std::vector<CDbColumn> aColumns, DbLogFn fnLog)
        : m_settings(settings), m_aColumns(std::move(aColumns)), m_fnLog(std::move(fnLog))
    {
        m_fnUpdateLog = m_fnLog;
    }

    void Log(const std::string& strMessage) const
    {
        if (m_fnLog)
            m_fnLog(strMessage);
    }
    // Logs the insert failure with its reason; always false.
    bool Fail(const std::string& strError) const
    {
        Log(MakeInsertFailure(strError));
        return false;
    }

    CDbSettings m_settings;
    std::vector<CDbColumn> m_aColumns;
    DbLogFn m_fnLog;
};

std::unique_ptr<CDatabaseSink> CreateSqliteSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                                DbLogFn fnLog);
std::unique_ptr<CDatabaseSink> CreateOdbcSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                              DbLogFn fnLog);
// bInsert false: connects and selects the database but stores nothing, for
// the type values that name no back-end.
std::unique_ptr<CDatabaseSink> CreateMySqlSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                               DbLogFn fnLog, bool bInsert);

bool TestSqliteConnection(const CDbSettings& settings, std::string& strReason);
bool TestOdbcConnection(const CDbSettings& settings, std::string& strReason);
bool TestMySqlConnection(const CDbSettings& settings, std::string& strReason);

// The SQLite file a server text names: relative paths start in the program
// directory.
std::string ResolveSqlitePath(const CDbSettings& settings);
// The ODBC connection string for the settings.
std::string BuildOdbcConnectionString(const CDbSettings& settings);
// Splits "host:port"; the port is 0 (the library's default) when absent.
void SplitHostPort(const std::string& strServer, std::string& strHost, unsigned& nPort);
