// StatusPages.cpp - metrics, JSON and HTML of the runner's status.
#include "StatusPages.h"

#include "RunnerText.h"
#include "platform/LocalTime.h"

#include <cstdio>
#include <functional>

namespace quarvex {

namespace {

std::string Number(double d)
{
    char szText[64];
    std::snprintf(szText, sizeof szText, "%.6g", d);
    return szText;
}

// A metric family's HELP and TYPE lines.
void AppendHeader(std::string& strOut, const char* pszName, const char* pszType, const char* pszHelp)
{
    strOut += "# HELP ";
    strOut += pszName;
    strOut += ' ';
    strOut += pszHelp;
    strOut += "\n# TYPE ";
    strOut += pszName;
    strOut += ' ';
    strOut += pszType;
    strOut += '\n';
}

// One metric family: its header, then a sample per task.
void AppendFamily(std::string& strOut, const SRunnerStatus& status, const char* pszName, const char* pszType,
                  const char* pszHelp, const std::function<std::string(const STaskStatus&)>& fnValue)
{
    AppendHeader(strOut, pszName, pszType, pszHelp);
    for (const STaskStatus& task : status.aTasks) {
        strOut += pszName;
        strOut += "{id=\"" + PromLabelEscape(task.strId) + "\",task=\"" + PromLabelEscape(task.strName) + "\"} ";
        strOut += fnValue(task);
        strOut += '\n';
    }
}

void AppendGauge(std::string& strOut, const char* pszName, const char* pszHelp, const std::string& strValue)
{
    AppendHeader(strOut, pszName, "gauge", pszHelp);
    strOut += pszName;
    strOut += ' ';
    strOut += strValue;
    strOut += '\n';
}

std::string LocalTimeText(std::int64_t nUnix)
{
    return nUnix == 0 ? std::string("-") : FormatLocalTime("%Y-%m-%d %H:%M:%S", static_cast<std::time_t>(nUnix));
}

} // namespace

std::string FormatMetrics(const SRunnerStatus& status)
{
    std::string strOut;
    AppendGauge(strOut, "quarvex_runner_tasks", "Tasks the runner has loaded.", std::to_string(status.aTasks.size()));
    AppendGauge(strOut, "quarvex_runner_tasks_running", "Tasks whose worker runs.", std::to_string(status.nRunning));
    AppendGauge(strOut, "quarvex_runner_leases_held", "Task leases this runner holds.",
                std::to_string(status.nLeasesHeld));
    AppendGauge(strOut, "quarvex_runner_last_relist_timestamp_seconds",
                "When the account's task list was last read.", std::to_string(status.nLastRelist));
    AppendFamily(strOut, status, "quarvex_task_passes_total", "counter", "Passes run.",
                 [](const STaskStatus& t) { return std::to_string(t.nPasses); });
    AppendFamily(strOut, status, "quarvex_task_failed_passes_total", "counter", "Passes whose page could not be fetched.",
                 [](const STaskStatus& t) { return std::to_string(t.nFailedPasses); });
    AppendFamily(strOut, status, "quarvex_task_records_seen_total", "counter", "Records found on the pages.",
                 [](const STaskStatus& t) { return std::to_string(t.nSeen); });
    AppendFamily(strOut, status, "quarvex_task_new_records_total", "counter", "New records handed on.",
                 [](const STaskStatus& t) { return std::to_string(t.nNew); });
    AppendFamily(strOut, status, "quarvex_task_pending_deliveries", "gauge",
                 "Web posts and database rows not yet delivered.",
                 [](const STaskStatus& t) { return std::to_string(t.nPending); });
    AppendFamily(strOut, status, "quarvex_task_last_pass_end_timestamp_seconds", "gauge",
                 "When the last pass ended (0: none yet).",
                 [](const STaskStatus& t) { return std::to_string(t.nLastPassEnd); });
    AppendFamily(strOut, status, "quarvex_task_pass_duration_seconds", "gauge", "How long the last pass took.",
                 [](const STaskStatus& t) { return Number(t.dLastDuration); });
    AppendFamily(strOut, status, "quarvex_task_schedule_slip_seconds", "gauge",
                 "How late the last pass started after its period.",
                 [](const STaskStatus& t) { return Number(t.dLastSlip); });
    AppendFamily(strOut, status, "quarvex_task_broken", "gauge",
                 "1: the last 3 parsed pages gave no records or under a fifth of the usual yield.",
                 [](const STaskStatus& t) { return std::string(t.bBroken ? "1" : "0"); });
    AppendFamily(strOut, status, "quarvex_task_failing", "gauge", "1: the last 3 fetches of the page failed.",
                 [](const STaskStatus& t) { return std::string(t.bFailing ? "1" : "0"); });
    AppendFamily(strOut, status, "quarvex_task_running", "gauge", "1: the task's worker runs.",
                 [](const STaskStatus& t) { return std::string(t.strState == "running" ? "1" : "0"); });
    return strOut;
}

std::string FormatTasksJson(const SRunnerStatus& status)
{
    std::string strOut = "{\"stopping\":";
    strOut += status.bStopping ? "true" : "false";
    strOut += ",\"leases_held\":" + std::to_string(status.nLeasesHeld);
    strOut += ",\"last_relist\":" + JsonQuote(IsoTimeUtc(status.nLastRelist));
    strOut += ",\"tasks\":[";
    bool bFirst = true;
    for (const STaskStatus& t : status.aTasks) {
        if (!bFirst)
            strOut += ',';
        bFirst = false;
        strOut += "{\"id\":" + JsonQuote(t.strId);
        strOut += ",\"name\":" + JsonQuote(t.strName);
        strOut += ",\"state\":" + JsonQuote(t.strState);
        strOut += ",\"period\":" + std::to_string(t.nPeriod);
        strOut += ",\"passes\":" + std::to_string(t.nPasses);
        strOut += ",\"failed_passes\":" + std::to_string(t.nFailedPasses);
        strOut += ",\"records_seen\":" + std::to_string(t.nSeen);
        strOut += ",\"new_records\":" + std::to_string(t.nNew);
        strOut += ",\"pending_deliveries\":" + std::to_string(t.nPending);
        strOut += ",\"last_pass_end\":" + JsonQuote(IsoTimeUtc(t.nLastPassEnd));
        strOut += ",\"last_pass_seen\":" + std::to_string(t.nLastSeen);
        strOut += ",\"last_pass_new\":" + std::to_string(t.nLastNew);
        strOut += ",\"last_new_record\":" + JsonQuote(IsoTimeUtc(t.nLastNewRecord));
        strOut += ",\"pass_duration\":" + Number(t.dLastDuration);
        strOut += ",\"broken\":";
        strOut += t.bBroken ? "true" : "false";
        strOut += ",\"failing\":";
        strOut += t.bFailing ? "true" : "false";
        strOut += '}';
    }
    strOut += "]}\n";
    return strOut;
}

std::string FormatStatusPage(const SRunnerStatus& status)
{
    std::string strOut =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"10\">"
        "<title>quarvex-runner</title><style>body{font-family:sans-serif}"
        "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 8px;text-align:left}"
        ".alarm{color:#b00;font-weight:bold}</style></head><body>\n<h1>quarvex-runner</h1>\n<p>";
    strOut += std::to_string(status.aTasks.size()) + " tasks, " + std::to_string(status.nRunning) + " running";
    if (status.bStopping)
        strOut += ", stopping";
    strOut += "; account listed " + HtmlEscape(LocalTimeText(status.nLastRelist)) + "</p>\n";
    strOut += "<table><tr><th>task</th><th>state</th><th>last pass</th><th>records</th>"
              "<th>last new record</th><th>alarm</th></tr>\n";
    for (const STaskStatus& t : status.aTasks) {
        std::string strAlarm;
        if (t.bBroken)
            strAlarm = "broken";
        if (t.bFailing)
            strAlarm += strAlarm.empty() ? "failing" : ", failing";
        strOut += "<tr><td title=\"" + HtmlEscape(t.strId) + "\">" + HtmlEscape(t.strName.empty() ? t.strId : t.strName);
        strOut += "</td><td>" + HtmlEscape(t.strState);
        strOut += "</td><td>" + HtmlEscape(LocalTimeText(t.nLastPassEnd));
        strOut += "</td><td>" + std::to_string(t.nLastSeen) + " (" + std::to_string(t.nLastNew) + " new)";
        strOut += "</td><td>" + HtmlEscape(LocalTimeText(t.nLastNewRecord));
        strOut += "</td><td class=\"alarm\">" + HtmlEscape(strAlarm) + "</td></tr>\n";
    }
    strOut += "</table>\n</body></html>\n";
    return strOut;
}

} // namespace quarvex
