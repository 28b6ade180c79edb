// CannedServer.h - a loopback HTTP server for client tests: it records every
// request byte for byte and answers each with the next canned body, then
// closes the connection. Every wait is bounded, so a broken client fails the
// test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CCannedServer {
public:
    CCannedServer()
    {
        m_hListen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t nLen = sizeof(addr);
        if (m_hListen < 0 || bind(m_hListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(m_hListen, 16) != 0 || getsockname(m_hListen, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
            return;
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CCannedServer()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_hListen >= 0)
            close(m_hListen);
    }

    int GetPort() const { return m_nPort; }
    std::string GetServer() const { return "127.0.0.1:" + std::to_string(m_nPort); }
    // The next reply body; an empty queue answers with an empty body.
    void AddReply(const std::string& strBody)
    {
        std::lock_guard lock(m_mutex);
        m_aReplies.push_back(strBody);
    }
    std::vector<std::string> GetRequests()
    {
        std::lock_guard lock(m_mutex);
        return m_aRequests;
    }

private:
    void Run()
    {
        while (!m_bStop) {
            pollfd pfd{ m_hListen, POLLIN, 0 };
            if (poll(&pfd, 1, 50) <= 0)
                continue;
            const int hConn = accept(m_hListen, nullptr, nullptr);
            if (hConn < 0)
                continue;
            Serve(hConn);
            close(hConn);
        }
    }

    void Serve(int hConn)
    {
        std::string strRequest;
        std::size_t nWant = std::string::npos;
        char aBuf[4096];
        for (int nWaits = 0; nWaits < 100 && strRequest.size() < nWant; ++nWaits) {
            pollfd pfd{ hConn, POLLIN, 0 };
            if (poll(&pfd, 1, 50) <= 0)
                continue;
            const ssize_t n = recv(hConn, aBuf, sizeof(aBuf), 0);
            if (n <= 0)
                return;
            strRequest.append(aBuf, static_cast<std::size_t>(n));
            const std::size_t nEnd = strRequest.find("\r\n\r\n");
            if (nEnd != std::string::npos && nWant == std::string::npos) {
                const std::size_t nCl = strRequest.find("Content-Length:");
                const std::size_t nBody = nCl < nEnd ? std::stoul(strRequest.substr(nCl + 15)) : 0;
                nWant = nEnd + 4 + nBody;
            }
        }
        std::string strBody;
        {
            std::lock_guard lock(m_mutex);
            m_aRequests.push_back(strRequest);
            if (!m_aReplies.empty()) {
                strBody = m_aReplies.front();
                m_aReplies.pop_front();
            }
        }
        const std::string strResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                        std::to_string(strBody.size()) + "\r\nConnection: close\r\n\r\n" + strBody;
        send(hConn, strResponse.data(), strResponse.size(), MSG_NOSIGNAL);
    }

    int m_hListen = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{ false };
    std::mutex m_mutex;
    std::deque<std::string> m_aReplies;
    std::vector<std::string> m_aRequests;
    std::thread m_thread;
};
