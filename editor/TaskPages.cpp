// TaskPages.cpp - reading, checking and writing the property sheet's pages.
#include "TaskPages.h"

#include "engine/Task.h"

namespace quarvex {

CMarkupNode* EnsureTaskRoot(CMarkupDoc& doc)
{
    if (CMarkupNode* pRoot = doc.FindTopLevel(KEY_ROOT))
        return pRoot;
    CMarkupNode* pRoot = new CMarkupNode(KEY_ROOT);
    doc.AppendTopLevel(pRoot);
    return pRoot;
}

namespace {

const CMarkupNode* FindRoot(const CMarkupDoc& doc)
{
    return doc.FindTopLevel(KEY_ROOT);
}

const CMarkupNode* FindSection(const CMarkupDoc& doc, std::string_view name)
{
    const CMarkupNode* pRoot = FindRoot(doc);
    return pRoot != nullptr ? pRoot->FindChild(name) : nullptr;
}

std::string Text(const CMarkupNode* pNode, std::string_view key)
{
    return std::string(GetKeyText(pNode, key));
}

} // namespace

// ---- 常规 ----

void ReadGeneralPage(const CMarkupDoc& doc, SGeneralPage& page)
{
    page = SGeneralPage();
    const CMarkupNode* pGeneral = FindSection(doc, KEY_GENERAL);
    page.strTaskName = Text(pGeneral, KEY_TASKNAME);
    page.strPeriod = Text(pGeneral, KEY_FREQUENCE);
    page.bAutoLoad = GetKeyFlag(pGeneral, KEY_AUTOLOAD);

    const CMarkupNode* pNetwork = FindSection(doc, KEY_NETWORK);
    page.strUrl = Text(pNetwork, KEY_URL);
    page.strRefUrl = Text(pNetwork, KEY_REFURL);
    page.nMethod = GetKeyNumber(pNetwork, KEY_METHOD) == 0 ? METHOD_GET : METHOD_POST;
    if (const CMarkupNode* pAuth = pNetwork != nullptr ? pNetwork->FindChild(KEY_AUTHENTICATION) : nullptr) {
        page.bAuth = true;
        page.strAuthName = Text(pAuth, KEY_NAME);
        page.strAuthPass = Text(pAuth, KEY_PASS);
    }
    // A parameter without a name key is not shown, and so disappears when
    // the page is written back.
    if (pNetwork != nullptr) {
        for (const CMarkupNode* p = pNetwork->FindChild(KEY_PARAMETER); p != nullptr; p = p->NextSameName()) {
            if (p->FindChild(KEY_NAME) != nullptr)
                page.aParams.push_back({Text(p, KEY_NAME), Text(p, KEY_VALUE)});
        }
    }
}

bool ReadPeriod(std::string_view text, int32_t& nSeconds)
{
    // ReadDecimal stops at the ends of the 32-bit range instead of wrapping,
    // so 4294967356 reads as far above the limit, not as 60.
    const std::string strText(text);
    nSeconds = ReadDecimal(strText.c_str());
    return nSeconds >= FREQUENCE_MIN && nSeconds <= FREQUENCE_MAX;
}

EGeneralCheck CheckGeneralPage(const SGeneralPage& page)
{
    if (page.strTaskName.empty())
        return GENERAL_NO_NAME;
    int32_t nSeconds = 0;
    if (!ReadPeriod(page.strPeriod, nSeconds))
        return GENERAL_BAD_PERIOD;
    if (page.strUrl.empty())
        return GENERAL_NO_URL;
    return GENERAL_OK;
}

void WriteGeneralPage(CMarkupDoc& doc, const SGeneralPage& page)
{
    CMarkupNode* pRoot = EnsureTaskRoot(doc);
    CMarkupNode* pGeneral = FindOrAppendChild(pRoot, KEY_GENERAL);
    SetKeyText(pGeneral, KEY_TASKNAME, page.strTaskName);
    SetKeyText(pGeneral, KEY_FREQUENCE, page.strPeriod);
    SetKeyFlag(pGeneral, KEY_AUTOLOAD, page.bAutoLoad);

    CMarkupNode* pNetwork = FindOrAppendChild(pRoot, KEY_NETWORK);
    SetKeyText(pNetwork, KEY_URL, page.strUrl);
    SetKeyText(pNetwork, KEY_REFURL, page.strRefUrl);
    SetKeyNumber(pNetwork, KEY_METHOD, page.nMethod == METHOD_GET ? METHOD_GET : METHOD_POST);
    if (page.bAuth) {
        CMarkupNode* pAuth = FindOrAppendChild(pNetwork, KEY_AUTHENTICATION);
        SetKeyText(pAuth, KEY_NAME, page.strAuthName);
        SetKeyText(pAuth, KEY_PASS, page.strAuthPass);
    } else {
        RemoveChildren(pNetwork, KEY_AUTHENTICATION);
    }
    SetNameValueList(pNetwork, KEY_PARAMETER, page.aParams);
}

bool ImportQueryString(std::string& strUrl, std::vector<NameValue>& aParams)
{
    const size_t nQuery = strUrl.find('?');
    if (nQuery == std::string::npos)
        return false;
    const std::string strQuery = strUrl.substr(nQuery + 1);
    strUrl.resize(nQuery);
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = strQuery.find('&', nStart);
        const std::string strPiece = strQuery.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
        const size_t nEq = strPiece.find('=');
        NameValue param;
        param.strName = strPiece.substr(0, nEq);
        if (nEq != std::string::npos)
            param.strValue = strPiece.substr(nEq + 1);
        bool bFound = false;
        for (NameValue& row : aParams) {
            if (row.strName == param.strName) {
                row.strValue = param.strValue;
                bFound = true;
                break;
            }
        }
        if (!bFound)
            aParams.push_back(std::move(param));
        if (nEnd == std::string::npos)
            break;
        nStart = nEnd + 1;
    }
    return true;
}

// ---- WEB POST ----

void ReadWebPostPage(const CMarkupDoc& doc, SWebPostPage& page)
{
    page = SWebPostPage();
    const CMarkupNode* pNetwork = FindSection(doc, KEY_NETWORK);
    page.bWebPost = GetKeyFlag(pNetwork, KEY_WEBPOST);
    page.nMethod = GetKeyNumber(pNetwork, KEY_WEBPOSTMETHOD) != 0 ? METHOD_POST : METHOD_GET;
    page.strUrl = Text(pNetwork, KEY_WEBPOSTURL);
    page.strVar = Text(pNetwork, KEY_WEBPOSTVAR);
}

EWebPostCheck CheckWebPostPage(const SWebPostPage& page)
{
    if (!page.bWebPost)
        return WEBPOST_OK;
    if (page.strUrl.empty())
        return WEBPOST_NO_URL;
    if (page.strVar.empty())
        return WEBPOST_NO_VAR;
    return WEBPOST_OK;
}

void WriteWebPostPage(CMarkupDoc& doc, const SWebPostPage& page)
{
    CMarkupNode* pNetwork = FindOrAppendChild(EnsureTaskRoot(doc), KEY_NETWORK);
    SetKeyFlag(pNetwork, KEY_WEBPOST, page.bWebPost);
    SetKeyNumber(pNetwork, KEY_WEBPOSTMETHOD, page.nMethod == METHOD_GET ? METHOD_GET : METHOD_POST);
    SetKeyText(pNetwork, KEY_WEBPOSTURL, page.strUrl);
    SetKeyText(pNetwork, KEY_WEBPOSTVAR, page.strVar);
}

// ---- 数据库 ----

void ReadDatabasePage(const CMarkupDoc& doc, SDatabasePage& page)
{
    page = SDatabasePage();
    const CMarkupNode* pDatabase = FindSection(doc, KEY_DATABASE);
    page.nType = GetKeyNumber(pDatabase, KEY_TYPE);
    page.strServer = Text(pDatabase, KEY_SERVER);
    page.strDatabase = Text(pDatabase, KEY_DATABASE);
    page.strAccount = Text(pDatabase, KEY_ACCOUNT);
    page.strPassword = Text(pDatabase, KEY_PASSWORD);
    page.bSaveToDb = GetKeyFlag(pDatabase, KEY_SAVETODB);
    page.strTable = Text(pDatabase, KEY_TABLENAME);
    page.aFields = GetNameValueList(pDatabase, KEY_DATAFIELD);
}

void WriteDatabasePage(CMarkupDoc& doc, const SDatabasePage& page)
{
    CMarkupNode* pDatabase = FindOrAppendChild(EnsureTaskRoot(doc), KEY_DATABASE);
    SetKeyNumber(pDatabase, KEY_TYPE, page.nType);
    SetKeyText(pDatabase, KEY_SERVER, page.strServer);
    SetKeyText(pDatabase, KEY_DATABASE, page.strDatabase);
    SetKeyText(pDatabase, KEY_ACCOUNT, page.strAccount);
    SetKeyText(pDatabase, KEY_PASSWORD, page.strPassword);
    SetKeyFlag(pDatabase, KEY_SAVETODB, page.bSaveToDb);
    SetKeyText(pDatabase, KEY_TABLENAME, page.strTable);
    SetNameValueList(pDatabase, KEY_DATAFIELD, page.aFields);
}

std::vector<std::string> BuildValueChoices(const CMarkupDoc& doc)
{
    std::vector<std::string> aChoices = {"<@SKIP@>", "<@NULL@>", "<@NOW@>"};
    std::string strText;
    if (!doc.SaveToString(strText))
        return aChoices;
    // The columns exactly as a running task will order and name them.
    CTask task;
    task.LoadDefinition(strText.c_str());
    const CDataNodeList& columns = task.GetColumns();
    for (size_t i = 0; i < columns.GetCount(); ++i) {
        const CDataNode* pNode = columns.GetAt(i);
        aChoices.push_back("<@@" + pNode->m_strName + "@@>");
        if (pNode->m_nType == CDataNode::TYPE_LINKED_FILE)
            aChoices.push_back("<@#" + pNode->m_strName + "#@>");
    }
    return aChoices;
}

// ---- 高级 ----

const std::vector<SAdvancedKey>& GetAdvancedKeys()
{
    static const std::vector<SAdvancedKey> s_aKeys = {
        {KEY_CHARSET, "网页字符集：", "空：自动识别（字节序标记、HTTP头、meta标签，否则UTF-8或GB18030）"},
        {KEY_USERAGENT, "User-Agent：", "空：程序自带的User-Agent"},
        {KEY_TIMEOUT, "网页超时(秒)：", "空或0：60秒"},
        {KEY_RETRIES, "失败重试次数：", "空或0：不重试（连接失败、超时、5xx或429时重试）"},
        {KEY_RETRYDELAY, "首次重试等待(秒)：", "空或0：1秒，此后每次加倍"},
        {KEY_ROBOTS, "遵守robots.txt：", "1：遵守；空或0：不理会"},
        {"changes", "检测记录变化：", "1：每次比较已保存记录的其他列，有变化的记录被更新；空或0：只处理新记录",
         KEY_GENERAL, true},
        {"gone", "记录消失次数：", "连续这么多次成功摘取都未见到的记录视为已消失；空或0：从不", KEY_GENERAL, true},
        {"postchanges", "变化的记录再次POST：", "1：有变化的记录再次发送WEB POST；空或0：只发送新记录", KEY_NETWORK,
         true},
        {"updatechanges", "变化的记录更新数据库：", "1：按关键字段更新数据库中的行；空或0：只插入新记录",
         KEY_DATABASE, true},
    };
    return s_aKeys;
}

void ReadAdvancedPage(const CMarkupDoc& doc, SAdvancedPage& page)
{
    page.aValues.clear();
    for (const SAdvancedKey& key : GetAdvancedKeys())
        page.aValues.push_back(Text(FindSection(doc, key.pszSection), key.pszKey));
    const CMarkupNode* pNetwork = FindSection(doc, KEY_NETWORK);
    page.aHeaders = GetNameValueList(pNetwork, KEY_HEADER);
}

std::string FormatHeaderLines(const std::vector<NameValue>& aHeaders)
{
    std::string strText;
    for (const NameValue& header : aHeaders) {
        strText += header.strName;
        strText += ": ";
        strText += header.strValue;
        strText += '\n';
    }
    return strText;
}

std::vector<NameValue> ParseHeaderLines(std::string_view text)
{
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
            s.remove_suffix(1);
        return std::string(s);
    };
    std::vector<NameValue> aHeaders;
    while (!text.empty()) {
        const size_t nEnd = text.find('\n');
        const std::string_view line = text.substr(0, nEnd);
        text = nEnd == std::string_view::npos ? std::string_view() : text.substr(nEnd + 1);
        if (trim(line).empty())
            continue;
        const size_t nColon = line.find(':');
        NameValue header;
        header.strName = trim(line.substr(0, nColon));
        if (nColon != std::string_view::npos)
            header.strValue = trim(line.substr(nColon + 1));
        aHeaders.push_back(std::move(header));
    }
    return aHeaders;
}

void WriteAdvancedPage(CMarkupDoc& doc, const SAdvancedPage& page)
{
    const std::vector<SAdvancedKey>& aKeys = GetAdvancedKeys();
    for (size_t i = 0; i < aKeys.size() && i < page.aValues.size(); ++i) {
        const CMarkupNode* pOld = FindSection(doc, aKeys[i].pszSection);
        const bool bPresent = pOld != nullptr && pOld->FindChild(aKeys[i].pszKey) != nullptr;
        if (page.aValues[i].empty() && !bPresent)
            continue;
        SetKeyText(FindOrAppendChild(EnsureTaskRoot(doc), aKeys[i].pszSection), aKeys[i].pszKey, page.aValues[i]);
    }
    const CMarkupNode* pOld = FindSection(doc, KEY_NETWORK);
    if (!page.aHeaders.empty() || (pOld != nullptr && pOld->FindChild(KEY_HEADER) != nullptr))
        SetNameValueList(FindOrAppendChild(EnsureTaskRoot(doc), KEY_NETWORK), KEY_HEADER, page.aHeaders);
}

} // namespace quarvex
