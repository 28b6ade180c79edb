// DatabaseSink.cpp - picks the back-end for a database type, and the lines
// and lookups the back-ends share.
#include "DatabaseSink.h"
#include "DbBackends.h"

std::unique_ptr<CDatabaseSink> CreateDatabaseSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                                  DbLogFn fnLog)
{
    switch (settings.m_nType) {
    case DB_TYPE_SQLITE:
        return CreateSqliteSink(settings, std::move(aColumns), std::move(fnLog));
    case DB_TYPE_ODBC:
        return CreateOdbcSink(settings, std::move(aColumns), std::move(fnLog));
    case DB_TYPE_MYSQL:
        return CreateMySqlSink(settings, std::move(aColumns), std::move(fnLog), true);
    default:
        return CreateMySqlSink(settings, std::move(aColumns), std::move(fnLog), false);
    }
}

bool CDatabaseSink::UpdateRecord(const std::vector<std::string>& /*aRecord*/,
                                 const std::vector<std::string>& /*aWhereFields*/)
{
    if (!m_bUpdateRefusalSaid) {
        m_bUpdateRefusalSaid = true;
        if (m_fnUpdateLog)
            m_fnUpdateLog("这种数据库不能更新已改变的记录。");
    }
    return true;
}

int FindTemplateColumn(std::string_view strTemplate, const std::vector<CDbColumn>& aColumns)
{
    // "<@@" or "<@#" in front and three characters behind; what lies between
    // is the name, so both forms find the same column.
    if (strTemplate.size() <= 6 || strTemplate[0] != '<' || strTemplate[1] != '@')
        return -1;
    const std::string_view strName = strTemplate.substr(3, strTemplate.size() - 6);
    for (size_t i = 0; i < aColumns.size(); ++i) {
        if (aColumns[i].m_strName == strName)
            return static_cast<int>(i);
    }
    return -1;
}

bool TestDatabaseConnection(const CDbSettings& settings, std::string& strReason)
{
    strReason.clear();
    switch (settings.m_nType) {
    case DB_TYPE_SQLITE:
        return TestSqliteConnection(settings, strReason);
    case DB_TYPE_ODBC:
        return TestOdbcConnection(settings, strReason);
    default:
        return TestMySqlConnection(settings, strReason);
    }
}

std::string MakeConnectFailure(const std::string& strReason, bool bOmitEmptyReason)
{
    if (strReason.empty() && bOmitEmptyReason)
        return "连接数据库失败！摘取到的内容将无法保存到数据库。";
    return "连接数据库失败！原因：" + strReason + "。摘取到的内容将无法保存到数据库。";
}

std::string MakeInsertFailure(const std::string& strReason)
{
    return "保存摘取到的内容到数据库失败！原因：" + strReason + "。";
}
