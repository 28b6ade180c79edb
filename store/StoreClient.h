// StoreClient.h - the client of the remote task store: five form POSTs under
// /qx/ of the store's host, each on a fresh CHttpPostSession (the examples at
// start-up share one), every value through UrlEncode, waiting without limit.
// The store alone keeps task definitions; nothing here caches them.
#pragma once

#include "markup/MarkupDoc.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CHttpPostSession;

namespace quarvex {

// Messages the views show for the operations' failures.
inline constexpr char STORE_MSG_NETWORK[] = "网络通讯失败，请检查网络连接或稍后再试！";
inline constexpr char STORE_MSG_LOGIN_REFUSED[] = "登录账号或密码错误！";
inline constexpr char STORE_MSG_ADD_FAILED[] = "添加任务失败！";
inline constexpr char STORE_MSG_UPDATE_FAILED[] = "修改任务失败！";
inline constexpr char STORE_MSG_DELETE_FAILED[] = "删除任务失败！";

// Reply lengths the client relies on.
constexpr std::size_t STORE_LOGIN_REPLY_LEN = 47;
constexpr std::size_t STORE_TASK_ID_LEN = 38;

enum class StoreLogin {
    OK,          // logged in; the token is kept
    NETWORK,     // the request failed or the reply was empty
    REFUSED,     // the reply was exactly "failed": name or password wrong
    UNEXPECTED,  // any other reply; the login dialog stays open silently
};

struct StoreTask {
    std::string strId;
    std::string strText;  // The definition's markup text.
};

struct StoreExample {
    std::string strId;
    std::string strName;  // root@general taskname; empty when it did not load.
};

struct StoreTaskVersion {
    std::string strId;
    std::int64_t nVersion = 0;
};

// A lease on one task: the fencing number of its grant, and the seconds it
// lasts from the store's answer unless renewed.
struct StoreLease {
    std::string strId;
    std::int64_t nFence = 0;
    int nTtlSeconds = 0;
};

// The token a login reply carries: its characters 1, 3, ... 29, then 30 to
// 46. Empty unless the reply has exactly 47 characters.
std::string TokenFromLoginReply(const std::string& strReply);
// The ids of a task list reply: each piece that ends with '#'. A reply of 38
// characters or fewer holds none; text after the last '#' is ignored.
std::vector<std::string> SplitTaskList(const std::string& strReply);
// The pieces "ID:N#" of a version reply, and "ID:FENCE:TTL#" of a lease
// reply; "empty" and replies without pieces give none, malformed pieces are
// skipped.
std::vector<StoreTaskVersion> SplitVersionList(const std::string& strReply);
std::vector<StoreLease> SplitLeaseList(const std::string& strReply);
// The taskname under root@general of a definition text; "" when missing.
std::string TaskNameOf(const std::string& strText);

class CStoreClient {
public:
    // strServer is the store's "host[:port]" (port 80 when not named), or
    // "https://host[:port]" for a store behind TLS (port 443 when not named).
    explicit CStoreClient(std::string strServer = std::string());

    void SetServer(const std::string& strServer) { m_strServer = strServer; }
    const std::string& GetServer() const { return m_strServer; }
    // Bounds each exchange to nMs milliseconds in all (-1: no limit, the
    // default); an exchange that runs out is stopped and fails with
    // HTTP_ERR_TIMEOUT, so a store that never answers cannot hold its caller.
    void SetCallLimit(int nMs) { m_nCallLimitMs = nMs; }
    // The URL that the request paths are appended to.
    std::string ServerUrl() const;

    StoreLogin Login(const std::string& strName, const std::string& strPassword);
    // The whole login reply and the token derived from it; empty before a
    // successful login.
    const std::string& GetSessionReply() const { return m_strSessionReply; }
    const std::string& GetToken() const { return m_strToken; }

    // The account's task ids into aIds (cleared first). False when the
    // request failed, the reply was empty, or the store said "failed" (an
    // unknown or expired session); a short reply is an empty list.
    bool ListTasks(std::vector<std::string>& aIds);
    bool ListExamples(std::vector<std::string>& aIds);
    // A task's definition text: with the session token for the account's
    // own tasks, with an empty token for an example. nullopt when the reply
    // is not a usable task blob.
    std::optional<std::string> LoadTask(const std::string& strId, const std::string& strToken);
    // The new task's id, or nullopt (show STORE_MSG_ADD_FAILED).
    std::optional<std::string> AddTask(const std::string& strText);
    std::optional<std::string> AddTask(const CMarkupDoc& definition);
    // True only when the store answers with the key that was sent
    // (otherwise show STORE_MSG_UPDATE_FAILED).
    bool UpdateTask(const std::string& strId, const std::string& strText);
    bool UpdateTask(const std::string& strId, const CMarkupDoc& definition);
    // True only on the reply "ok" (otherwise show STORE_MSG_DELETE_FAILED).
    bool DeleteTask(const std::string& strId);

    // Beyond the five requests: versions and leases, all with the session
    // token. A holder name is 1 to 64 printable ASCII bytes without spaces;
    // the store clamps ttl to 1-3600 seconds and want to 1000.
    //
    // The account's task ids with a number that grows whenever the task is
    // saved; false like ListTasks.
    bool ListTaskVersions(std::vector<StoreTaskVersion>& aTasks);
    // Up to nWant of the account's tasks that nobody holds (or whose lease
    // expired), for strHolder, for nTtlSeconds. False when the request failed.
    bool LeaseTasks(const std::string& strHolder, int nWant, int nTtlSeconds, std::vector<StoreLease>& aGranted);
    // One named task (the desktop application); nullopt when another holder
    // has it or the request failed. Asked again by its holder, the lease is
    // renewed under the same fencing number.
    std::optional<StoreLease> LeaseTask(const std::string& strHolder, const std::string& strId, int nTtlSeconds);
    // Renews the holder's leases; aKept gets those still held (a lost one is
    // missing). False when the request failed.
    bool RenewLeases(const std::string& strHolder, const std::vector<StoreLease>& aLeases, int nTtlSeconds,
                     std::vector<StoreLease>& aKept);
    bool ReleaseLease(const std::string& strHolder, const StoreLease& lease);

    // Start-up, before the main window: the store's examples with their
    // names, all on one session. False when the list could not be had.
    bool LoadExampleList(std::vector<StoreExample>& aExamples);
    // Start-up, when the task list is made: the account's tasks in the
    // store's order, then the chosen examples. Tasks that do not load are
    // left out silently; aTasks is cleared first.
    void LoadStartupTasks(const std::vector<std::string>& aChosenExamples, std::vector<StoreTask>& aTasks);

    // The HTTP client's code of the last exchange (0: none).
    int GetLastError() const { return m_nLastError; }

private:
    // One POST on the session; strReply gets the body. False when the
    // exchange failed or the body is empty.
    bool Exchange(CHttpPostSession& session, const char* pszPath, const std::string& strBody,
                  std::string& strReply);
    bool Exchange(const char* pszPath, const std::string& strBody, std::string& strReply);
    bool List(CHttpPostSession& session, const std::string& strBody, std::vector<std::string>& aIds);
    std::optional<std::string> Load(CHttpPostSession& session, const std::string& strId,
                                    const std::string& strToken);

    std::string m_strServer;
    std::string m_strSessionReply;
    std::string m_strToken;
    int m_nLastError = 0;
    int m_nCallLimitMs = -1;
};

} // namespace quarvex
