// MemoryBench.cpp - peak memory of parsing one large page. The page is read
// into a buffer of exactly its size, so the peak resident size before and
// after parsing separates the page from its tree.
// Usage: html_memory_bench FILE
//        html_memory_bench --make-table FILE   writes a ~10 MB table page
#include "BenchPages.h"
#include "HtmlDoc.h"

#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <fstream>

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
    if (argc == 3 && std::strcmp(argv[1], "--make-table") == 0) {
        std::ofstream(argv[2], std::ios::binary) << MakeTablePage(62000);
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE | --make-table FILE\n", argv[0]);
        return 2;
    }
    const long nBaseKb = MaxRssKb();
    std::error_code error;
    const size_t nSize = std::filesystem::file_size(argv[1], error);
    if (error) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::string strPage(nSize, '\0');
    std::ifstream(argv[1], std::ios::binary).read(strPage.data(), static_cast<std::streamsize>(nSize));
    const long nPageKb = MaxRssKb();

    const auto start = std::chrono::steady_clock::now();
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());
    const double dSeconds = SecondsSince(start);
    const long nPeakKb = MaxRssKb();

    const double dPageMb = strPage.size() / 1e6;
    const double dTreeMb = (nPeakKb - nPageKb) * 1024 / 1e6;
    const double dTotalMb = (nPeakKb - nBaseKb) * 1024 / 1e6;
    std::printf("page %.1f MB, %zu nodes, parsed in %.1f ms\n", dPageMb, doc.GetNodeCount(), dSeconds * 1e3);
    std::printf("peak RSS %.1f MB before the page, %.1f MB with it, %.1f MB after parsing\n",
                nBaseKb * 1024 / 1e6, nPageKb * 1024 / 1e6, nPeakKb * 1024 / 1e6);
    std::printf("tree %.1f MB (%.2fx the page); page and tree %.1f MB (%.2fx the page, target < 8x)\n",
                dTreeMb, dTreeMb / dPageMb, dTotalMb, dTotalMb / dPageMb);
    return 0;
}
