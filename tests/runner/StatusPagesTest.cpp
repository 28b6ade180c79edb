// StatusPagesTest.cpp - the status outputs carry users' task names safely:
// escaped for HTML, for JSON (also when the bytes are not UTF-8) and for
// Prometheus labels.
#include <gtest/gtest.h>

#include "runner/RunnerText.h"
#include "runner/StatusPages.h"

using namespace quarvex;

namespace {

SRunnerStatus HostileStatus()
{
    SRunnerStatus status;
    STaskStatus task;
    task.strId = "{A1}";
    task.strName = "<script>alert(\"x\")</script>&\\\n\xff";
    task.strState = "running";
    task.nPasses = 7;
    task.nFailedPasses = 2;
    task.nSeen = 30;
    task.nNew = 4;
    task.nLastPassEnd = 1800000000;
    task.bBroken = true;
    status.aTasks.push_back(task);
    status.nRunning = 1;
    return status;
}

} // namespace

TEST(StatusPagesTest, HtmlPageEscapesEveryTaskValue)
{
    const std::string strPage = FormatStatusPage(HostileStatus());
    EXPECT_EQ(strPage.find("<script>"), std::string::npos) << strPage;
    EXPECT_NE(strPage.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;"), std::string::npos) << strPage;
    EXPECT_NE(strPage.find(">broken<"), std::string::npos);
}

TEST(StatusPagesTest, JsonStaysValidForAnyName)
{
    const std::string strJson = FormatTasksJson(HostileStatus());
    EXPECT_NE(strJson.find("\"name\":\"<script>alert(\\\"x\\\")</script>&\\\\\\n\\ufffd\""), std::string::npos)
        << strJson;
    EXPECT_NE(strJson.find("\"passes\":7,\"failed_passes\":2,\"records_seen\":30,\"new_records\":4"),
              std::string::npos);
    EXPECT_NE(strJson.find("\"last_pass_end\":\"2027-01-15T08:00:00Z\""), std::string::npos) << strJson;
    // Valid UTF-8 passes as it stands; a cut sequence does not.
    EXPECT_EQ(JsonQuote("任务"), "\"任务\"");
    EXPECT_EQ(JsonQuote(std::string("\xe4\xbb", 2)), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonQuote("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // a surrogate
}

TEST(StatusPagesTest, MetricsHaveOneSamplePerTaskWithEscapedLabels)
{
    const std::string strMetrics = FormatMetrics(HostileStatus());
    const std::string strLabels = "{id=\"{A1}\",task=\"<script>alert(\\\"x\\\")</script>&\\\\\\n\xff\"}";
    EXPECT_NE(strMetrics.find("quarvex_task_passes_total" + strLabels + " 7\n"), std::string::npos) << strMetrics;
    EXPECT_NE(strMetrics.find("quarvex_task_failed_passes_total" + strLabels + " 2\n"), std::string::npos);
    EXPECT_NE(strMetrics.find("quarvex_task_broken" + strLabels + " 1\n"), std::string::npos);
    EXPECT_NE(strMetrics.find("quarvex_task_failing" + strLabels + " 0\n"), std::string::npos);
    EXPECT_NE(strMetrics.find("# TYPE quarvex_task_passes_total counter\n"), std::string::npos);
    EXPECT_NE(strMetrics.find("quarvex_runner_tasks 1\n"), std::string::npos);
    EXPECT_NE(strMetrics.find("quarvex_runner_leases_held 0\n"), std::string::npos);
    // No raw line break inside a sample.
    for (std::size_t nAt = strMetrics.find('\n'); nAt + 1 < strMetrics.size(); nAt = strMetrics.find('\n', nAt + 1)) {
        const char c = strMetrics[nAt + 1];
        EXPECT_TRUE(c == '#' || c == 'q') << strMetrics.substr(nAt + 1, 40);
    }
}
