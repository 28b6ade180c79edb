// DatabaseSink.cpp - the factory, template lookup and the connection test;
// the back-ends live in their own files.
#include "DatabaseSink.h"

namespace {

// Stands in until the back-ends are built: a pass logs that the database is
// unusable and goes on without inserts.
class CNoDatabaseSink final : public CDatabaseSink {
public:
    explicit CNoDatabaseSink(DbLogFn fnLog) : m_fnLog(std::move(fnLog)) {}
    bool Open() override
    {
        if (m_fnLog)
            m_fnLog("连接数据库失败！摘取到的内容将无法保存到数据库。");
        return false;
    }
    bool InsertRecord(const std::vector<std::string>&) override { return false; }
    void Release() override {}

private:
    DbLogFn m_fnLog;
};

} // namespace

std::unique_ptr<CDatabaseSink> CreateDatabaseSink(const CDbSettings&, std::vector<CDbColumn>,
                                                  DbLogFn fnLog)
{
    return std::make_unique<CNoDatabaseSink>(std::move(fnLog));
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

bool TestDatabaseConnection(const CDbSettings&, std::string& strReason)
{
    strReason.clear();
    return false;
}
