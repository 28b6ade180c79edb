// HtmlFuzz.cpp - fuzz target for the page reader: parses the input, renders
// every node every way and follows a node path taken from the input. The
// input up to its first zero byte (if any) is the path, the rest the page.
#include "HtmlDoc.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const char* pText = reinterpret_cast<const char*>(pData);
    std::string_view strPath;
    if (const void* pZero = std::memchr(pText, 0, nSize)) {
        const size_t nPath = static_cast<size_t>(static_cast<const char*>(pZero) - pText);
        strPath = std::string_view(pText, nPath);
        pText += nPath + 1;
        nSize -= nPath + 1;
    }
    // The page gets its own exact-size buffer so that any read past its end
    // is caught.
    std::vector<char> aPage(pText, pText + nSize);
    CHtmlDoc doc;
    doc.Parse(aPage.data(), aPage.size());

    std::string strOut;
    std::vector<const CHtmlNode*> stack { doc.GetFirst() };
    while (!stack.empty()) {
        const CHtmlNode* p = stack.back();
        stack.pop_back();
        for (; p != nullptr; p = p->GetNext()) {
            strOut.clear();
            p->AppendText(strOut);
            p->AppendInnerHtml(strOut);
            p->AppendOuterHtml(strOut);
            p->GetAttribute("href", strOut);
            p->GetAttribute("a", strOut);
            if (p->GetFirstChild() != nullptr)
                stack.push_back(p->GetFirstChild());
        }
    }
    if (const CHtmlNode* pFound = doc.FindPath(strPath)) {
        strOut.clear();
        pFound->AppendOuterHtml(strOut);
    }
    return 0;
}
