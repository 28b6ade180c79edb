// TaskTestSupport.h - what the task tests share: a task definition builder,
// an observer that records every notification, and an in-process HTTP server
// on 127.0.0.1 whose pages the tests change between passes.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/TaskObserver.h"

struct CDefNode {
    int nType = 0;
    std::string strName;
    std::string strPath;
    int nOrder = 0;
    bool bKey = false;
    std::string strAttribute;
};

struct CDefOptions {
    std::string strUrl;
    int nPeriod = 60;
    int nMethod = 0;
    std::vector<std::pair<std::string, std::string>> aParams;
    std::string strBlockPath = "html@body@table@tr";
    std::string strStep = "#tr";
    std::vector<CDefNode> aNodes = {
        {0, "name", "@td", 1, true, ""},
        {0, "price", "@td#td", 2, false, ""},
    };
    int nTimeout = 0;  // root@network@timeout in seconds; 0 writes no key.
    bool bWebPost = false;
    int nWebPostMethod = 0;
    std::string strWebPostUrl;
    std::string strWebPostVar;
    bool bSaveToDb = false;
    int nDbType = 2;
    std::string strDbServer;
    std::string strTable;
    std::vector<std::pair<std::string, std::string>> aFields;
};

// The definition in the markup text form the task store hands out.
inline std::string MakeDefinition(const CDefOptions& o)
{
    // Values such as "<@@name@@>" hold '<' and '>', which the markup text
    // writes as "&lt;" and "&gt;".
    auto key = [](const std::string& strName, const std::string& strValue) {
        std::string strEscaped;
        for (char c : strValue)
            strEscaped += c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
        return "<" + strName + ">" + strEscaped + "</" + strName + ">";
    };
    std::string s = "<root><general>" + key("taskname", "test") +
                    key("frequence", std::to_string(o.nPeriod)) + key("autoload", "0") +
                    "</general><network>" + key("url", o.strUrl) + key("refurl", "") +
                    key("method", std::to_string(o.nMethod));
    for (const auto& [strName, strValue] : o.aParams)
        s += "<parameter>" + key("name", strName) + key("value", strValue) + "</parameter>";
    if (o.nTimeout > 0)
        s += key("timeout", std::to_string(o.nTimeout));
    s += key("webpost", o.bWebPost ? "1" : "0") +
         key("webpostmethod", std::to_string(o.nWebPostMethod)) +
         key("webposturl", o.strWebPostUrl) + key("webpostvar", o.strWebPostVar) + "</network>";
    s += "<database>" + key("type", std::to_string(o.nDbType)) +
         key("savetodb", o.bSaveToDb ? "1" : "0") + key("server", o.strDbServer) +
         key("tablename", o.strTable);
    for (const auto& [strName, strValue] : o.aFields)
        s += "<datafield>" + key("name", strName) + key("value", strValue) + "</datafield>";
    s += "</database><location>" + key("path", o.strBlockPath) + key("step", o.strStep);
    for (const CDefNode& n : o.aNodes) {
        s += "<data>" + key("type", std::to_string(n.nType)) + key("name", n.strName) +
             key("path", n.strPath) + key("order", std::to_string(n.nOrder)) +
             key("only", n.bKey ? "1" : "0") + key("attribute", n.strAttribute) + "</data>";
    }
    s += "</location></root>";
    return s;
}

// A page holding one table: a header row, then one row per entry.
inline std::string MakeTablePage(const std::vector<std::pair<std::string, std::string>>& aRows)
{
    std::string s = "<html><head><title>t</title></head><body>\n<table>\n";
    for (const auto& [strName, strPrice] : aRows)
        s += "<tr><td>" + strName + "</td><td>" + strPrice + "</td></tr>\n";
    s += "</table>\n</body></html>\n";
    return s;
}

class CRecordingObserver : public ITaskObserver {
public:
    struct CEventRecord {
        std::string strKind;
        int nValue = 0;
    };

    void OnCountdownRange(int nMax) override { Add("range", nMax); }
    void OnCountdown(int nPos) override { Add("countdown", nPos); }
    void OnActivityStep() override { Add("step", 0); }
    void OnActivity(int nPos) override { Add("activity", nPos); }
    void OnRowAdded(const CDataRow& aRow) override
    {
        std::lock_guard lock(m_mutex);
        m_aRows.push_back(aRow);
        m_cv.notify_all();
    }
    void OnLog(const std::string& strLine) override
    {
        std::lock_guard lock(m_mutex);
        m_aLog.push_back(strLine);
        m_cv.notify_all();
    }
    void OnPassEnd(bool bFetched, int nSeen, int nNew) override
    {
        Add(bFetched ? "pass" : "failed", nSeen * 1000 + nNew);
    }
    void OnStopped() override { Add("stopped", 0); }

    // Waits until fnDone (called under the lock) holds; false after nMs.
    bool WaitUntil(const std::function<bool()>& fnDone, int nMs)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nMs), fnDone);
    }
    int CountLocked(const char* pszKind) const
    {
        int n = 0;
        for (const CEventRecord& e : m_aEvents)
            n += e.strKind == pszKind;
        return n;
    }
    int Count(const char* pszKind)
    {
        std::lock_guard lock(m_mutex);
        return CountLocked(pszKind);
    }
    // The log lines without their time stamps ("[...]:" cut off).
    std::vector<std::string> LogTexts()
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> aTexts;
        for (const std::string& strLine : m_aLog) {
            const std::size_t nColon = strLine.find("]:");
            aTexts.push_back(nColon == std::string::npos ? strLine : strLine.substr(nColon + 2));
        }
        return aTexts;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CEventRecord> m_aEvents;
    std::vector<CDataRow> m_aRows;
    std::vector<std::string> m_aLog;

private:
    void Add(const char* pszKind, int nValue)
    {
        std::lock_guard lock(m_mutex);
        m_aEvents.push_back({pszKind, nValue});
        m_cv.notify_all();
    }
};

// An HTTP server on 127.0.0.1 and a free port, run on its own thread.
// "/page" serves the current page text (method, target and body of every
// request are kept), "/post" records web posts, "/hang" answers only when the
// test ends.
class CTestSite {
public:
    struct CRequest {
        std::string strMethod;
        std::string strTarget;
        std::string strBody;
    };

    CTestSite()
    {
        auto fnPage = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(m_mutex);
            m_aPageRequests.push_back({req.method, req.target, req.body});
            res.status = m_nPageStatus;
            res.set_content(m_strPage, "text/html");
            m_cv.notify_all();
        };
        m_server.Get("/page", fnPage);
        m_server.Post("/page", fnPage);
        auto fnPost = [this](const httplib::Request& req, httplib::Response& res) {
            int nDelayMs = 0;
            {
                std::lock_guard lock(m_mutex);
                nDelayMs = m_nPostDelayMs;
            }
            if (nDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
            std::lock_guard lock(m_mutex);
            m_aPosts.push_back({req.method, req.target, req.body});
            res.status = m_nPostStatus;
            res.set_content("ok", "text/plain");
            m_cv.notify_all();
        };
        m_server.Get("/post", fnPost);
        m_server.Post("/post", fnPost);
        m_server.Get("/hang", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(m_mutex);
            ++m_nHanging;
            m_cv.notify_all();
            m_cv.wait(lock, [this] { return m_bRelease; });
            res.set_content("late", "text/html");
        });
        m_nPort = m_server.bind_to_any_port("127.0.0.1");
        // The socket listens from bind on, so requests queue until the
        // thread accepts them.
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~CTestSite()
    {
        {
            std::lock_guard lock(m_mutex);
            m_bRelease = true;
        }
        m_cv.notify_all();
        m_server.stop();
        m_thread.join();
    }

    std::string Url(const char* pszPath) const
    {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + pszPath;
    }
    void SetPage(const std::string& strPage)
    {
        std::lock_guard lock(m_mutex);
        m_strPage = strPage;
    }
    bool WaitUntil(const std::function<bool()>& fnDone, int nMs)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nMs), fnDone);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CRequest> m_aPageRequests;
    std::vector<CRequest> m_aPosts;
    int m_nHanging = 0;
    int m_nPageStatus = 200;  // Status of "/page" and "/post" answers; under m_mutex.
    int m_nPostStatus = 200;
    int m_nPostDelayMs = 0;  // How long "/post" takes before it answers.

private:
    httplib::Server m_server;
    std::string m_strPage;
    bool m_bRelease = false;
    int m_nPort = 0;
    std::thread m_thread;
};
