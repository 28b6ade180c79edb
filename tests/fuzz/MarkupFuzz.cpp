// MarkupFuzz.cpp - libFuzzer entry for the markup reader and writer: any
// bytes are read, written, read again, searched and changed. The sanitizers
// report what goes wrong; the checks below catch wrong results that crash
// nothing.
#include "markup/MarkupDoc.h"
#include "markup/TaskDef.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using quarvex::CMarkupDoc;
using quarvex::CMarkupNode;

namespace {

void Check(bool bOk, const char* pszWhat)
{
    if (!bOk) {
        std::fprintf(stderr, "markup_fuzz: %s\n", pszWhat);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    // The first line, when short, is also used as a path.
    const std::string strInput(reinterpret_cast<const char*>(pData), nSize);
    const size_t nLineEnd = strInput.find('\n');
    const std::string strPath = nLineEnd != std::string::npos && nLineEnd < 64 ? strInput.substr(0, nLineEnd) : "";

    CMarkupDoc doc;
    doc.Parse(strInput.c_str());  // The text ends at the first zero byte.
    std::string strText;
    const bool bWritten = doc.SaveToString(strText);
    Check(bWritten != doc.IsEmpty(), "a small document must write unless empty");

    // A copy writes exactly as the original.
    CMarkupDoc copy;
    copy.CopyFrom(doc);
    std::string strCopy;
    copy.SaveToString(strCopy);
    Check(strCopy == strText, "a copy must write as its original");

    // Written text reads back into a document that writes again.
    CMarkupDoc again;
    again.Parse(strText.c_str());
    std::string strAgain;
    Check(again.IsEmpty() || again.SaveToString(strAgain), "re-read text must write");
    Check(strText.empty() || !again.IsEmpty() || strText.find_first_not_of(" \t\r\n\v\f") == std::string::npos,
          "non-blank text must read back as some node");

    (void)quarvex::ReadDecimal(strInput.c_str());
    if (CMarkupNode* pNode = doc.FindPath(strPath.c_str())) {
        (void)pNode->GetChildValue("name");
        (void)pNode->NextSameName();
        (void)quarvex::GetFullPath(pNode);
        if (!pNode->IsText()) {
            pNode->SetChildValue("name", "a<b>&c");
            Check(pNode->GetChildValue("name") != nullptr &&
                      std::strcmp(pNode->GetChildValue("name"), "a<b>&c") == 0,
                  "SetChildValue must be read back by GetChildValue");
            pNode->RemoveChild(pNode->GetFirstChild());
        }
        strText.clear();
        Check(doc.SaveToString(strText), "a changed document must write");
    }
    return 0;
}
