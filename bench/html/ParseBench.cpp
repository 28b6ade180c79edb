// ParseBench.cpp - parse throughput over a corpus of real pages, side by side
// with gumbo and libxml2's HTML parser.
// Usage: html_parse_bench CORPUS_DIR [PASSES]
#include "BenchPages.h"
#include "HtmlDoc.h"

#include <gumbo.h>
#include <libxml/HTMLparser.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> LoadCorpus(const char* pszDir, size_t& nBytes)
{
    std::vector<std::string> aPages;
    nBytes = 0;
    std::vector<std::filesystem::path> aPaths;
    for (const auto& entry : std::filesystem::directory_iterator(pszDir))
        if (entry.is_regular_file())
            aPaths.push_back(entry.path());
    std::sort(aPaths.begin(), aPaths.end());
    for (const auto& path : aPaths) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        aPages.push_back(text.str());
        nBytes += aPages.back().size();
    }
    return aPages;
}

// Best of nPasses whole-corpus passes, in MB/s (10^6 bytes).
template <typename F>
double Measure(const std::vector<std::string>& aPages, size_t nBytes, int nPasses, F parse)
{
    double dBest = 1e30;
    for (int i = 0; i < nPasses; ++i) {
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& strPage : aPages)
            parse(strPage);
        dBest = std::min(dBest, SecondsSince(start));
    }
    return static_cast<double>(nBytes) / 1e6 / dBest;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [PASSES]\n", argv[0]);
        return 2;
    }
    const int nPasses = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    size_t nBytes = 0;
    const std::vector<std::string> aPages = LoadCorpus(argv[1], nBytes);
    if (aPages.empty()) {
        std::fprintf(stderr, "no pages in %s (run make-corpus.sh)\n", argv[1]);
        return 1;
    }
    std::printf("corpus: %zu pages, %.1f MB\n", aPages.size(), nBytes / 1e6);

    size_t nNodes = 0;
    const double dOurs = Measure(aPages, nBytes, nPasses, [&](const std::string& s) {
        CHtmlDoc doc;
        doc.Parse(s.data(), s.size());
        nNodes += doc.GetNodeCount();
    });
    const double dGumbo = Measure(aPages, nBytes, 1, [](const std::string& s) {
        GumboOutput* pOut = gumbo_parse_with_options(&kGumboDefaultOptions, s.data(), s.size());
        gumbo_destroy_output(&kGumboDefaultOptions, pOut);
    });
    xmlInitParser();
    const double dXml = Measure(aPages, nBytes, std::max(1, nPasses / 2), [](const std::string& s) {
        htmlDocPtr pDoc = htmlReadMemory(s.data(), static_cast<int>(s.size()), nullptr, nullptr,
                                         HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                             HTML_PARSE_NONET);
        xmlFreeDoc(pDoc);
    });
    std::printf("nodes per pass: %zu (%.1f bytes per node)\n", nNodes / nPasses,
                static_cast<double>(nBytes) * nPasses / static_cast<double>(nNodes));
    std::printf("quarvex  %8.1f MB/s\n", dOurs);
    std::printf("gumbo    %8.1f MB/s   quarvex/gumbo   %.1fx (target 15x)\n", dGumbo, dOurs / dGumbo);
    std::printf("libxml2  %8.1f MB/s   quarvex/libxml2 %.1fx (target 8x)\n", dXml, dOurs / dXml);
    return 0;
}
