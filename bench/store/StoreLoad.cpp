// StoreLoad.cpp - load and durability driver for quarvex-store, speaking the
// five form posts over loopback.
//   store_load load PORT CLIENTS SECONDS [ROUNDS_PER_LOGIN]
//                                          each client logs in as user<N>
//                                          (password "pw<N>"), lists and
//                                          loads its tasks, over and over
//   store_load seed PORT CLIENTS TASKS     adds TASKS tasks to each account
//   store_load add PORT IDFILE             adds tasks one after another and
//                                          appends each answered id to IDFILE
//   store_load verify PORT IDFILE          loads every id in IDFILE
#include "store/BlobCodec.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quarvex;
using Clock = std::chrono::steady_clock;

namespace {

const char s_szForm[] = "application/x-www-form-urlencoded";

struct Account {
    std::string strName, strPassword;
};

Account AccountOf(int n)
{
    return { "user" + std::to_string(n), "pw" + std::to_string(n) };
}

// Posts and returns the reply; empty on a transport failure or a status
// other than 200.
std::string Post(httplib::Client& client, const char* pszPath, const std::string& strBody)
{
    auto res = client.Post(pszPath, strBody, s_szForm);
    if (!res || res->status != 200) {
        static std::atomic<int> s_nReported{ 0 };
        if (s_nReported++ < 5)
            std::fprintf(stderr, "%s: %s\n", pszPath,
                         res ? ("status " + std::to_string(res->status)).c_str() : httplib::to_string(res.error()).c_str());
        return "";
    }
    return res->body;
}

std::string Login(httplib::Client& client, const Account& account)
{
    const std::string strReply =
        Post(client, "/qx/login.asp", "udata1=" + account.strName + "&udata2=" + account.strPassword + "&udata3=");
    if (strReply.size() != 47)
        return "";
    std::string strToken;
    for (int i = 1; i < 30; i += 2)
        strToken += strReply[static_cast<std::size_t>(i)];
    return strToken + strReply.substr(30);
}

std::vector<std::string> SplitIds(const std::string& strReply)
{
    std::vector<std::string> aIds;
    if (strReply.size() <= 38)
        return aIds;
    std::size_t nStart = 0, nHash;
    while ((nHash = strReply.find('#', nStart)) != std::string::npos) {
        aIds.push_back(strReply.substr(nStart, nHash - nStart));
        nStart = nHash + 1;
    }
    return aIds;
}

std::string Encoded(const std::string& str)
{
    std::string strOut;
    for (char c : str) {
        if (c == '{' || c == '}' || c == '-') {
            char sz[4];
            std::snprintf(sz, sizeof(sz), "%%%02X", static_cast<unsigned char>(c));
            strOut += sz;
        } else {
            strOut += c;
        }
    }
    return strOut;
}

std::string AddBody(const std::string& strToken, int n)
{
    const std::string strText = "\r\n<root>\r\n\t<general>\r\n\t\t<taskname>load task " + std::to_string(n) +
                                "</taskname>\r\n\t\t<period>60</period>\r\n\t</general>\r\n</root>";
    const std::string strKey = MakeBlobKey();
    return "udata1=" + strToken + "&udata2=" + EncodeTaskBlob(strText, strKey) + "&udata3=" + strKey;
}

enum { OP_LOGIN, OP_LIST, OP_LOAD, OP_COUNT };
const char* const s_apszOps[OP_COUNT] = { "login", "list", "load" };

void PrintLatencies(const char* pszWhat, std::vector<double>& a)
{
    std::sort(a.begin(), a.end());
    auto pct = [&](double p) {
        return a.empty() ? 0.0 : a[std::min(a.size() - 1, static_cast<std::size_t>(p * a.size()))];
    };
    std::printf("  %-6s %7zu requests, latency ms: p50 %8.2f  p90 %8.2f  p99 %8.2f  max %8.2f\n", pszWhat, a.size(),
                pct(0.50), pct(0.90), pct(0.99), a.empty() ? 0.0 : a.back());
}

// Every client logs in, lists its tasks and loads each of them; it logs in
// again after nRoundsPerLogin such rounds (1: every round, as an application
// start does).
int RunLoad(int nPort, int nClients, int nSeconds, int nRoundsPerLogin)
{
    std::atomic<long> nRequests{ 0 }, nErrors{ 0 };
    std::atomic<long> aErrors[OP_COUNT] = {};
    std::mutex mutex;
    std::vector<double> aLatencies[OP_COUNT];  // milliseconds
    const auto tEnd = Clock::now() + std::chrono::seconds(nSeconds);
    const auto tStart = Clock::now();
    std::vector<std::thread> aThreads;
    for (int c = 0; c < nClients; ++c) {
        aThreads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", nPort);
            client.set_keep_alive(true);
            // The library sends a request's header and body in two writes.
            client.set_tcp_nodelay(true);
            client.set_read_timeout(30, 0);
            std::vector<double> aMine[OP_COUNT];
            const Account account = AccountOf(c % 50);
            auto timed = [&](int nOp, auto fn) {
                const auto t0 = Clock::now();
                const bool bOk = fn();
                aMine[nOp].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                ++nRequests;
                if (!bOk) {
                    ++nErrors;
                    ++aErrors[nOp];
                }
                return bOk;
            };
            std::string strToken;
            for (int nRound = 0; Clock::now() < tEnd; ++nRound) {
                // A failed login is tried again in the next round rather than
                // counted once more for every list made without a session.
                if ((strToken.empty() || nRound % nRoundsPerLogin == 0) &&
                    !timed(OP_LOGIN, [&] { return !(strToken = Login(client, account)).empty(); }))
                    continue;
                std::vector<std::string> aIds;
                if (!timed(OP_LIST, [&] {
                        aIds = SplitIds(Post(client, "/qx/tasklist.asp", "udata1=" + strToken));
                        return !aIds.empty();
                    }))
                    continue;
                for (const std::string& strId : aIds) {
                    if (Clock::now() >= tEnd)
                        break;
                    timed(OP_LOAD, [&] {
                        const std::string strReply =
                            Post(client, "/qx/taskdata.asp", "udata1=" + Encoded(strId) + "&udata2=" + strToken);
                        return DecodeTaskReply(strReply).has_value();
                    });
                }
            }
            std::lock_guard lock(mutex);
            for (int i = 0; i < OP_COUNT; ++i)
                aLatencies[i].insert(aLatencies[i].end(), aMine[i].begin(), aMine[i].end());
        });
    }
    for (auto& t : aThreads)
        t.join();
    const double dSeconds = std::chrono::duration<double>(Clock::now() - tStart).count();
    std::printf("clients %d, %.1f s, %d round(s) per login: %ld requests, %.1f requests/s, errors %ld\n", nClients,
                dSeconds, nRoundsPerLogin, nRequests.load(), nRequests.load() / dSeconds, nErrors.load());
    std::vector<double> aAll;
    for (int i = 0; i < OP_COUNT; ++i) {
        aAll.insert(aAll.end(), aLatencies[i].begin(), aLatencies[i].end());
        PrintLatencies(s_apszOps[i], aLatencies[i]);
        if (aErrors[i] > 0)
            std::printf("  %-6s errors %ld\n", s_apszOps[i], aErrors[i].load());
    }
    PrintLatencies("all", aAll);
    return nErrors.load() == 0 ? 0 : 1;
}

int RunSeed(int nPort, int nClients, int nTasks)
{
    for (int c = 0; c < nClients; ++c) {
        httplib::Client client("127.0.0.1", nPort);
        const std::string strToken = Login(client, AccountOf(c));
        if (strToken.empty()) {
            std::fprintf(stderr, "seed: login of %s failed\n", AccountOf(c).strName.c_str());
            return 1;
        }
        for (int t = 0; t < nTasks; ++t) {
            if (Post(client, "/qx/savetask.asp", AddBody(strToken, t)).size() != 38) {
                std::fprintf(stderr, "seed: add failed\n");
                return 1;
            }
        }
    }
    return 0;
}

int RunAdd(int nPort, const char* pszFile)
{
    httplib::Client client("127.0.0.1", nPort);
    client.set_read_timeout(5, 0);
    const std::string strToken = Login(client, AccountOf(0));
    if (strToken.empty()) {
        std::fputs("add: login failed\n", stderr);
        return 1;
    }
    std::ofstream out(pszFile, std::ios::app);
    long nAdded = 0;
    for (int n = 0;; ++n) {
        const std::string strId = Post(client, "/qx/savetask.asp", AddBody(strToken, n));
        if (strId.size() != 38)
            break;
        // Written and flushed before the next request: an id is in the file
        // exactly when the store had answered it.
        out << strId << '\n' << std::flush;
        ++nAdded;
    }
    std::printf("add: %ld ids answered before the store went away\n", nAdded);
    return 0;
}

int RunVerify(int nPort, const char* pszFile)
{
    httplib::Client client("127.0.0.1", nPort);
    const std::string strToken = Login(client, AccountOf(0));
    if (strToken.empty()) {
        std::fputs("verify: login failed\n", stderr);
        return 1;
    }
    std::ifstream in(pszFile);
    long nChecked = 0, nMissing = 0;
    std::string strId;
    while (std::getline(in, strId)) {
        ++nChecked;
        const std::string strReply =
            Post(client, "/qx/taskdata.asp", "udata1=" + Encoded(strId) + "&udata2=" + strToken);
        if (!DecodeTaskReply(strReply)) {
            ++nMissing;
            std::printf("missing: %s\n", strId.c_str());
        }
    }
    std::printf("verify: %ld answered ids checked, %ld missing\n", nChecked, nMissing);
    return nMissing == 0 && nChecked > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 6) {
        std::fputs("usage: store_load load PORT CLIENTS SECONDS [ROUNDS_PER_LOGIN] | seed PORT CLIENTS TASKS | add PORT IDFILE | "
                   "verify PORT IDFILE\n", stderr);
        return 2;
    }
    const std::string strMode = argv[1];
    const int nPort = std::atoi(argv[2]);
    if (strMode == "load" && (argc == 5 || argc == 6))
        return RunLoad(nPort, std::atoi(argv[3]), std::atoi(argv[4]), argc == 6 ? std::max(1, std::atoi(argv[5])) : 1);
    if (strMode == "seed" && argc == 5)
        return RunSeed(nPort, std::atoi(argv[3]), std::atoi(argv[4]));
    if (strMode == "add" && argc == 4)
        return RunAdd(nPort, argv[3]);
    if (strMode == "verify" && argc == 4)
        return RunVerify(nPort, argv[3]);
    std::fputs("store_load: bad arguments\n", stderr);
    return 2;
}
