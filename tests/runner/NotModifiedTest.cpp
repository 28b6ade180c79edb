// NotModifiedTest.cpp - a task whose page answers 304 keeps its last verdict:
// unchanged passes are neither empty pages nor failures.
#include <gtest/gtest.h>

#include "TaskTestSupport.h"
#include "runner/RunnerTask.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace quarvex;

namespace {

class CCountingAlarms : public IAlarmSink {
public:
    void OnAlarm(const STaskAlarm&) override { ++m_nAlarms; }
    std::atomic<int> m_nAlarms{ 0 };
};

} // namespace

TEST(NotModifiedTest, UnchangedPagesDoNotBreakATask)
{
    httplib::Server server;
    std::atomic<int> n304{ 0 };
    server.Get("/page", [&](const httplib::Request& req, httplib::Response& res) {
        res.set_header("ETag", "\"v1\"");
        if (req.get_header_value("If-None-Match") == "\"v1\"") {
            ++n304;
            res.status = 304;
            return;
        }
        res.set_content(MakeTablePage({ { "a", "1" }, { "b", "2" } }), "text/html");
    });
    const int nPort = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });

    CDefOptions o;
    o.strUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/page";
    std::FILE* pNull = std::fopen("/dev/null", "w");
    ASSERT_NE(pNull, nullptr);
    {
        CRunnerLog log(pNull);
        CCountingAlarms alarms;
        CRunnerTask task("{T}", log, &alarms);
        ASSERT_TRUE(task.Load(MakeDefinition(o)));
        task.GetTask().SetObserver(&task);
        for (int i = 0; i < 5; ++i)
            task.GetTask().RunPass();
        task.GetTask().WaitNotified(10000);
        const STaskStatus status = task.GetStatus();
        EXPECT_EQ(n304.load(), 4);
        EXPECT_EQ(status.nPasses, 5);
        EXPECT_EQ(status.nFailedPasses, 0);
        EXPECT_EQ(status.nSeen, 2);
        EXPECT_FALSE(status.bBroken);
        EXPECT_FALSE(status.bFailing);
        EXPECT_EQ(alarms.m_nAlarms.load(), 0);
    }
    std::fclose(pNull);
    server.stop();
    thread.join();
}
