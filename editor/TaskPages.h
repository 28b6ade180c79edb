// TaskPages.h - what each page of the task property sheet reads from a task
// definition, checks when it is left and writes back on OK, as plain
// structures: the widgets only copy these to and from their controls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "markup/MarkupDoc.h"
#include "markup/TaskDef.h"

namespace quarvex {

// The <root> of the definition, appended when the document has none (a new
// task starts from an empty definition).
CMarkupNode* EnsureTaskRoot(CMarkupDoc& doc);

// ---- 常规 ----
struct SGeneralPage {
    std::string strTaskName;
    std::string strPeriod;   // As typed; stored as typed.
    bool bAutoLoad = false;
    std::string strUrl;
    std::string strRefUrl;
    int nMethod = METHOD_GET;
    bool bAuth = false;
    std::string strAuthName;
    std::string strAuthPass;
    std::vector<NameValue> aParams;
};

enum EGeneralCheck {
    GENERAL_OK = 0,
    GENERAL_NO_NAME,    // "请输入任务名称！"
    GENERAL_BAD_PERIOD, // "请输入刷新频率（合法范围是1~2592000）！"
    GENERAL_NO_URL,     // "请输入目标网址！"
};

void ReadGeneralPage(const CMarkupDoc& doc, SGeneralPage& page);
EGeneralCheck CheckGeneralPage(const SGeneralPage& page);
void WriteGeneralPage(CMarkupDoc& doc, const SGeneralPage& page);
// The period as the engine will read it, when it lies in 1..2592000. A text
// beyond the integer range is refused, never wrapped into the range.
bool ReadPeriod(std::string_view text, int32_t& nSeconds);
// Moves the query string of strUrl (after its first '?') into aParams: each
// '&' piece is name=value (or a bare name); an existing row of the same name
// (exact bytes) takes the value, any other is appended. The address keeps
// what stood before the '?'. Nothing is decoded. False when there was no '?'.
bool ImportQueryString(std::string& strUrl, std::vector<NameValue>& aParams);

// ---- WEB POST ----
struct SWebPostPage {
    bool bWebPost = false;
    int nMethod = METHOD_GET;
    std::string strUrl;
    std::string strVar;
};

enum EWebPostCheck {
    WEBPOST_OK = 0,
    WEBPOST_NO_URL,  // "请输入提交地址！"
    WEBPOST_NO_VAR,  // "请输入提交参数！"
};

void ReadWebPostPage(const CMarkupDoc& doc, SWebPostPage& page);
EWebPostCheck CheckWebPostPage(const SWebPostPage& page);
void WriteWebPostPage(CMarkupDoc& doc, const SWebPostPage& page);

// ---- 数据库 ----
struct SDatabasePage {
    int nType = DB_ACCESS;
    std::string strServer;
    std::string strDatabase;
    std::string strAccount;
    std::string strPassword;
    bool bSaveToDb = false;
    std::string strTable;
    std::vector<NameValue> aFields;
};

void ReadDatabasePage(const CMarkupDoc& doc, SDatabasePage& page);
void WriteDatabasePage(CMarkupDoc& doc, const SDatabasePage& page);

// The field dialog's value choices: "<@SKIP@>", "<@NULL@>", "<@NOW@>", then
// "<@@name@@>" for every column of the definition in column order, each
// linked-file column followed by "<@#name#@>".
std::vector<std::string> BuildValueChoices(const CMarkupDoc& doc);

// ---- 高级 ----
// Keys that the engine reads beyond the basic ones. Each entry is one line of
// the page; the list grows as the engine learns keys. Request keys come
// first (root@network), then the keys of the kept records.
struct SAdvancedKey {
    const char* pszKey;    // Key under its section.
    const char* pszLabel;  // Label on the page.
    const char* pszHint;   // What an empty value means.
    const char* pszSection = KEY_NETWORK;  // root@<section>
    bool bRecords = false;                 // Shown under "记录" rather than with the request.
};
const std::vector<SAdvancedKey>& GetAdvancedKeys();

struct SAdvancedPage {
    std::vector<std::string> aValues;  // One per GetAdvancedKeys() entry.
    std::vector<NameValue> aHeaders;   // root@network@header, in order.
};

// The request headers as the page shows them: one "name: value" per line.
std::string FormatHeaderLines(const std::vector<NameValue>& aHeaders);
// Lines back into headers: the name before the first ':' and the value
// after it, both without surrounding blanks; blank lines are skipped.
std::vector<NameValue> ParseHeaderLines(std::string_view text);

void ReadAdvancedPage(const CMarkupDoc& doc, SAdvancedPage& page);
// An empty value that was not in the definition is not written, so that a
// definition keeps only the keys somebody set.
void WriteAdvancedPage(CMarkupDoc& doc, const SAdvancedPage& page);

} // namespace quarvex
