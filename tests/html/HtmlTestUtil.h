// HtmlTestUtil.h - compact pictures of page trees for the tests: a text is
// "quoted", an element is its name with its children in brackets, an end tag
// is /name, a comment is !--; siblings are separated by one blank.
#pragma once

#include "HtmlDoc.h"

#include <fstream>
#include <sstream>
#include <string>

inline void DescribeChain(const CHtmlNode* pNode, std::string& strOut)
{
    for (bool bFirst = true; pNode != nullptr; pNode = pNode->GetNext(), bFirst = false) {
        if (!bFirst)
            strOut += ' ';
        switch (pNode->GetKind()) {
        case CHtmlNode::KIND_TEXT:
            strOut += '"';
            strOut.append(pNode->GetStart(), pNode->GetEnd());
            strOut += '"';
            break;
        case CHtmlNode::KIND_ELEMENT:
            strOut += pNode->GetName();
            if (pNode->GetFirstChild() != nullptr) {
                strOut += '[';
                DescribeChain(pNode->GetFirstChild(), strOut);
                strOut += ']';
            }
            break;
        case CHtmlNode::KIND_END_TAG:
            strOut += '/';
            strOut += pNode->GetName();
            break;
        case CHtmlNode::KIND_COMMENT:
            strOut += "!--";
            break;
        }
    }
}

inline std::string DescribeTree(const char* pszPage)
{
    CHtmlDoc doc;
    doc.Parse(pszPage);
    std::string strOut;
    DescribeChain(doc.GetFirst(), strOut);
    return strOut;
}

inline std::string ReadTestFile(const std::string& strName)
{
    std::ifstream in(std::string(QUARVEX_HTML_TEST_DATA) + "/" + strName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
