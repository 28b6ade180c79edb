// ExtractBench.cpp - parse, walk and evaluate every record of a generated
// 10,000-row table, side by side with Python's lxml doing the same work. lxml
// runs in a Python process that waits for one round at a time, so the two
// take turns (the order alternating by round) on the same page, with one
// warm-up round each; each times its own work from the page bytes to the
// last value.
// Usage: html_extract_bench [ROUNDS]
#include "BenchPages.h"
#include "HtmlDoc.h"
#include "Location.h"
#include "LocationLoader.h"

#include "markup/MarkupDoc.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace {

const char s_szDefinition[] =
    "<root><location><path>html@body@table@tr</path><step>#tr</step>"
    "<data><type>0</type><name>id</name><path>@td</path><order>1</order><only>1</only></data>"
    "<data><type>0</type><name>name</name><path>@td#td</path><order>2</order></data>"
    "<data><type>0</type><name>price</name><path>@td#td#td</path><order>3</order></data>"
    "<data><type>0</type><name>link</name><path>@td#td#td#td</path><order>4</order></data>"
    "<data><type>3</type><name>href</name><path>@td#td#td#td@a</path><attribute>href</attribute>"
    "<order>5</order></data>"
    "</location></root>";

// One whole extraction; returns the number of records and a checksum of the
// value lengths, so nothing is optimised away. The document is reused from
// round to round, as a task reuses its page document from pass to pass.
size_t ExtractAll(const std::string& strPage, CHtmlDoc& doc, CLocation& forest, const CDataNodeList& columns,
                  size_t& nSum)
{
    doc.Parse(strPage.data(), strPage.size());
    size_t nRecords = 0;
    if (!forest.Resolve(doc))
        return 0;
    const int nDepth = forest.Depth();
    std::string strValue;
    do {
        ++nRecords;
        for (size_t i = 0; i < columns.GetCount(); ++i) {
            columns[i]->GetValue(strValue);
            nSum += strValue.size();
        }
    } while (forest.StepForest(nDepth));
    return nRecords;
}

// lxml does the same: parse, one compiled XPath for the rows, then per row
// the four cell texts and the link's href. One round per line read.
const char s_szLxmlScript[] =
    "import sys, time\n"
    "from lxml import etree, html\n"
    "rows = etree.XPath('/html/body/table/tr')\n"
    "cells = etree.XPath('td')\n"
    "href = etree.XPath('td[4]/a/@href')\n"
    "data = open(sys.argv[1], 'rb').read()\n"
    "while sys.stdin.readline():\n"
    "    t = time.perf_counter()\n"
    "    root = html.fromstring(data)\n"
    "    n = 0\n"
    "    for tr in rows(root):\n"
    "        vals = [td.text_content().strip() for td in cells(tr)[:4]]\n"
    "        vals.append(href(tr)[0])\n"
    "        n += 1\n"
    "    print(n, time.perf_counter() - t, flush=True)\n";

// The Python process: a line on its standard input runs one round, which
// answers with the record count and its time.
class CLxmlProcess {
public:
    CLxmlProcess() = default;
    ~CLxmlProcess()
    {
        if (m_pTo != nullptr)
            std::fclose(m_pTo);  // end of input ends the loop
        if (m_pFrom != nullptr)
            std::fclose(m_pFrom);
        if (m_nPid > 0)
            waitpid(m_nPid, nullptr, 0);
    }
    CLxmlProcess(const CLxmlProcess&) = delete;
    CLxmlProcess& operator=(const CLxmlProcess&) = delete;

    bool Start(const std::string& strScript, const std::string& strPage)
    {
        int aToChild[2];
        int aFromChild[2];
        if (pipe(aToChild) != 0 || pipe(aFromChild) != 0)
            return false;
        m_nPid = fork();
        if (m_nPid == 0) {
            dup2(aToChild[0], 0);
            dup2(aFromChild[1], 1);
            for (int h : { aToChild[0], aToChild[1], aFromChild[0], aFromChild[1] })
                close(h);
            // Debian's own interpreter, which python3-lxml installs into.
            execl("/usr/bin/python3", "python3", strScript.c_str(), strPage.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(aToChild[0]);
        close(aFromChild[1]);
        m_pTo = fdopen(aToChild[1], "w");
        m_pFrom = fdopen(aFromChild[0], "r");
        return m_nPid > 0 && m_pTo != nullptr && m_pFrom != nullptr;
    }
    // One round; false when the process does not answer (no lxml).
    bool Round(size_t& nRecords, double& dSeconds)
    {
        return std::fputs("go\n", m_pTo) >= 0 && std::fflush(m_pTo) == 0
               && std::fscanf(m_pFrom, "%zu %lf", &nRecords, &dSeconds) == 2 && dSeconds > 0;
    }

private:
    pid_t m_nPid = -1;
    std::FILE* m_pTo = nullptr;
    std::FILE* m_pFrom = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const std::string strPage = MakeTablePage(10000);
    quarvex::CMarkupDoc def;
    def.Parse(s_szDefinition);
    std::unique_ptr<CLocation> pForest(LoadLocations(def));
    CDataNodeList columns;
    pForest->CollectDataNodes(columns);

    const std::string strFile = "/tmp/quarvex-extract-bench-" + std::to_string(getpid()) + ".html";
    const std::string strScriptFile = "/tmp/quarvex-extract-bench-" + std::to_string(getpid()) + ".py";
    std::ofstream(strFile, std::ios::binary) << strPage;
    std::ofstream(strScriptFile) << s_szLxmlScript;
    std::printf("page %.2f MB, %zu columns; 1 warm-up round and %d rounds each, taking turns\n",
                strPage.size() / 1e6, columns.GetCount(), nRounds);
    std::printf("load average before: %s\n", LoadAverage().c_str());

    size_t nSum = 0;
    size_t nRecords = 0;
    size_t nLxmlRecords = 0;
    CHtmlDoc doc;
    CSamples ours, lxml;
    bool bLxml = true;
    {
        CLxmlProcess python;
        bLxml = python.Start(strScriptFile, strFile);
        for (int nRound = -1; nRound < nRounds; ++nRound) {
            auto fnOurs = [&] {
                const auto start = std::chrono::steady_clock::now();
                nRecords = ExtractAll(strPage, doc, *pForest, columns, nSum);
                const double dSeconds = SecondsSince(start);
                if (nRound >= 0)
                    ours.m_aValues.push_back(dSeconds);
            };
            auto fnLxml = [&] {
                double dSeconds = 0;
                if (bLxml && python.Round(nLxmlRecords, dSeconds)) {
                    if (nRound >= 0)
                        lxml.m_aValues.push_back(dSeconds);
                } else {
                    bLxml = false;
                }
            };
            if (nRound % 2 == 0) {
                fnOurs();
                fnLxml();
            } else {
                fnLxml();
                fnOurs();
            }
        }
    }
    std::remove(strFile.c_str());
    std::remove(strScriptFile.c_str());
    std::printf("load average after:  %s\n", LoadAverage().c_str());

    std::printf("quarvex  median %7.2f ms per page (range %.2f-%.2f), %.0f records/s (%zu records; target 600000/s, "
                "< 17 ms)\n",
                ours.Median() * 1e3, ours.Min() * 1e3, ours.Max() * 1e3, nRecords / ours.Median(), nRecords);
    if (!bLxml || lxml.m_aValues.empty()) {
        std::printf("lxml     not measured (is python3-lxml installed?)\n");
    } else {
        std::printf("lxml     median %7.2f ms per page (range %.2f-%.2f), %.0f records/s (%zu records)\n",
                    lxml.Median() * 1e3, lxml.Min() * 1e3, lxml.Max() * 1e3, nLxmlRecords / lxml.Median(),
                    nLxmlRecords);
        const CSamples ratios = RoundRatios(ours, lxml);
        std::printf("quarvex/lxml median %.1fx per round (range %.1f-%.1fx; target 20x)\n", ratios.Median(),
                    ratios.Min(), ratios.Max());
    }
    return nSum == 0;
}
