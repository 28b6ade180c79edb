// HtmlFuzz.cpp - fuzz target for the page reader: parses the input, renders
// every node every way, and walks a block taken from the input over the page.
// The input up to its first zero byte (if any) is "PATH|STEP|COLUMN", the
// rest the page.
#include "HtmlDoc.h"
#include "Location.h"

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

    // A block with a stepping child block, every column type that stays off
    // the network; the walk must end whatever the paths are.
    std::string_view strRest = strPath;
    auto NextPart = [&strRest] {
        const size_t nBar = strRest.find('|');
        const std::string_view strPart = strRest.substr(0, nBar);
        strRest = nBar == std::string_view::npos ? std::string_view() : strRest.substr(nBar + 1);
        return strPart;
    };
    const std::string_view strBlock = NextPart();
    const std::string_view strStep = NextPart();
    const std::string_view strColumn = strRest;
    CLocation forest(strBlock, strStep);
    CLocation* pChild = new CLocation(strColumn, strStep);
    forest.AddChild(pChild);
    for (int nType = CDataNode::TYPE_TEXT; nType <= CDataNode::TYPE_ATTRIBUTE; ++nType) {
        CDataNode* pData = new CDataNode;
        pData->m_nType = nType;
        pData->m_strPath = strColumn;
        pData->m_strAttribute = "href";
        (nType % 2 == 0 ? static_cast<CLocation&>(forest) : *pChild).AddDataNode(pData);
    }
    CDataNodeList columns;
    forest.CollectDataNodes(columns);
    if (forest.Resolve(doc)) {
        const int nDepth = forest.Depth();
        do {
            for (size_t i = 0; i < columns.GetCount(); ++i)
                columns[i]->GetValue(strOut);
        } while (forest.StepForest(nDepth));
    }
    return 0;
}
