// MemoryBench.cpp - peak memory of parsing one large page. Without FILE it
// generates a table page of about 10 MB.
// Usage: html_memory_bench [FILE]
#include "BenchPages.h"
#include "HtmlDoc.h"

#include <sys/resource.h>

#include <fstream>
#include <sstream>

namespace {

long MaxRssKb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    const long nBaseKb = MaxRssKb();
    std::string strPage;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        strPage = text.str();
    } else {
        strPage = MakeTablePage(67000);
    }
    strPage.shrink_to_fit();
    const long nPageKb = MaxRssKb();
    const auto start = std::chrono::steady_clock::now();
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());
    const double dSeconds = SecondsSince(start);
    const long nPeakKb = MaxRssKb();
    const double dPageMb = strPage.size() / 1e6;
    std::printf("page %.1f MB, %zu nodes, parsed in %.1f ms\n", dPageMb, doc.GetNodeCount(), dSeconds * 1e3);
    std::printf("peak RSS: %.1f MB before the page, %.1f MB with the page, %.1f MB after parsing\n",
                nBaseKb / 1024.0, nPageKb / 1024.0, nPeakKb / 1024.0);
    const double dTreeMb = (nPeakKb - nPageKb) / 1024.0;
    const double dTotalMb = (nPeakKb - nBaseKb) / 1024.0;
    std::printf("tree %.1f MB (%.2fx the page); page plus tree %.1f MB (%.2fx the page, target < 8x)\n",
                dTreeMb, dTreeMb * 1.048576 / dPageMb, dTotalMb, dTotalMb * 1.048576 / dPageMb);
    return 0;
}
