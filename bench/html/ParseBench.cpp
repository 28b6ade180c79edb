// ParseBench.cpp - parse throughput over a corpus of real pages, side by side
// with gumbo and libxml2's HTML parser. Every contender parses the same
// pages, gets one warm-up pass and then one pass per round; the rounds
// interleave the contenders, and the order within a round rotates.
// Usage: html_parse_bench CORPUS_DIR [ROUNDS]
#include "BenchPages.h"
#include "HtmlDoc.h"

#include <gumbo.h>
#include <libxml/HTMLparser.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

struct CContender {
    const char* m_pszName;
    std::function<void(const std::string&)> m_fnParse;
    CSamples m_seconds;
};

// One whole-corpus pass; its time in seconds.
double Pass(const std::vector<std::string>& aPages, const CContender& contender)
{
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& strPage : aPages)
        contender.m_fnParse(strPage);
    return SecondsSince(start);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int nRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    size_t nBytes = 0;
    const std::vector<std::string> aPages = LoadCorpus(argv[1], nBytes);
    if (aPages.empty()) {
        std::fprintf(stderr, "no pages in %s (run make-corpus.sh)\n", argv[1]);
        return 1;
    }
    std::printf("corpus: %zu pages, %.1f MB; 1 warm-up pass and %d rounds per contender, interleaved\n",
                aPages.size(), nBytes / 1e6, nRounds);
    std::printf("load average before: %s\n", LoadAverage().c_str());

    size_t nNodes = 0;
    xmlInitParser();
    std::vector<CContender> aContenders = {
        { "quarvex",
          [&nNodes](const std::string& s) {
              CHtmlDoc doc;
              doc.Parse(s.data(), s.size());
              nNodes += doc.GetNodeCount();
          },
          {} },
        { "gumbo",
          [](const std::string& s) {
              GumboOutput* pOut = gumbo_parse_with_options(&kGumboDefaultOptions, s.data(), s.size());
              gumbo_destroy_output(&kGumboDefaultOptions, pOut);
          },
          {} },
        { "libxml2",
          [](const std::string& s) {
              htmlDocPtr pDoc = htmlReadMemory(s.data(), static_cast<int>(s.size()), nullptr, nullptr,
                                               HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                                   HTML_PARSE_NONET);
              xmlFreeDoc(pDoc);
          },
          {} },
    };
    for (const CContender& contender : aContenders)
        Pass(aPages, contender);  // warm-up: caches, allocator, page faults
    nNodes = 0;
    const size_t nCount = aContenders.size();
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (size_t k = 0; k < nCount; ++k) {
            CContender& contender = aContenders[(static_cast<size_t>(nRound) + k) % nCount];
            contender.m_seconds.m_aValues.push_back(Pass(aPages, contender));
        }
    }
    std::printf("load average after:  %s\n", LoadAverage().c_str());
    std::printf("nodes per pass: %zu (%.1f bytes per node)\n", nNodes / static_cast<size_t>(nRounds),
                static_cast<double>(nBytes) * nRounds / static_cast<double>(nNodes));

    const double dMb = static_cast<double>(nBytes) / 1e6;
    for (const CContender& c : aContenders)
        std::printf("%-8s median %8.1f MB/s (range %.1f-%.1f)\n", c.m_pszName, dMb / c.m_seconds.Median(),
                    dMb / c.m_seconds.Max(), dMb / c.m_seconds.Min());
    const char* apszTargets[] = { "", "15x", "8x" };
    for (size_t k = 1; k < nCount; ++k) {
        const CSamples ratios = RoundRatios(aContenders[0].m_seconds, aContenders[k].m_seconds);
        std::printf("quarvex/%-8s median %.1fx per round (range %.1f-%.1fx; target %s)\n", aContenders[k].m_pszName,
                    ratios.Median(), ratios.Min(), ratios.Max(), apszTargets[k]);
    }
    return 0;
}
