// CmdHtml.cpp - tree, select and extract: look at a page the way the
// extraction engine sees it, for writing node paths by hand.
#include "Commands.h"

#include "HtmlDoc.h"
#include "LocationLoader.h"
#include "Location.h"

#include "PageCharset.h"
#include "markup/MarkupDoc.h"
#include "markup/TaskDef.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// Reads a whole file, or standard input for null or "-".
bool ReadWholeFile(const char* pszPath, std::string& strOut)
{
    const bool bStdin = pszPath == nullptr || std::strcmp(pszPath, "-") == 0;
    std::FILE* pFile = bStdin ? stdin : std::fopen(pszPath, "rb");
    if (pFile == nullptr) {
        std::fprintf(stderr, "quarvex-cli: cannot open '%s': %s\n", pszPath, std::strerror(errno));
        return false;
    }
    char buffer[65536];
    size_t nRead;
    while ((nRead = std::fread(buffer, 1, sizeof(buffer), pFile)) > 0)
        strOut.append(buffer, nRead);
    const bool bOk = !std::ferror(pFile);
    if (!bOk)
        std::fprintf(stderr, "quarvex-cli: cannot read '%s'\n", bStdin ? "-" : pszPath);
    if (!bStdin)
        std::fclose(pFile);
    return bOk;
}

// Takes "--charset NAME" at argv[i]; NAME may be "auto". False (after a
// message) for a charset iconv does not know.
bool ReadCharsetOption(int argc, char** argv, int& i, const char*& pszCharset)
{
    if (std::strcmp(argv[i], "--charset") != 0 || i + 1 >= argc)
        return false;
    pszCharset = argv[++i];
    if (std::strcmp(pszCharset, "auto") != 0 && CanonicalCharset(pszCharset).empty()) {
        std::fprintf(stderr, "quarvex-cli: unknown charset '%s'\n", pszCharset);
        pszCharset = nullptr;
    }
    return true;
}

// The page as a task reads it: in UTF-8, converted from the charset chosen
// (empty or "auto": found as for a fetched page without a header).
void DecodePage(std::string& strPage, const std::string& strChoice)
{
    const SPageCharset charset = DetectCharset(strChoice == "auto" ? "" : strChoice, strPage, "");
    strPage = ConvertToUtf8(std::string_view(strPage).substr(charset.nBomLen), charset.strName);
}

void WriteBytes(const std::string& str)
{
    std::fwrite(str.data(), 1, str.size(), stdout);
}

// A short one-line excerpt of a text or comment, with control bytes shown as
// escapes so that every node stays on its own line.
std::string Excerpt(const char* p, const char* pEnd)
{
    const size_t nMax = 40;
    std::string strOut = "\"";
    size_t nShown = 0;
    for (; p < pEnd && nShown < nMax; ++p, ++nShown) {
        switch (*p) {
        case '\n': strOut += "\\n"; break;
        case '\r': strOut += "\\r"; break;
        case '\t': strOut += "\\t"; break;
        case '"': strOut += "\\\""; break;
        case '\\': strOut += "\\\\"; break;
        default:
            if (static_cast<unsigned char>(*p) < 0x20)
                strOut += '.';
            else
                strOut += *p;
        }
    }
    strOut += p < pEnd ? "\"..." : "\"";
    return strOut;
}

// Writes the value with backslash, tab, CR and LF escaped, so a record stays
// one line of tab-separated fields.
void WriteEscaped(const std::string& str, std::string& strLine)
{
    for (const char c : str) {
        switch (c) {
        case '\\': strLine += "\\\\"; break;
        case '\t': strLine += "\\t"; break;
        case '\r': strLine += "\\r"; break;
        case '\n': strLine += "\\n"; break;
        default: strLine += c;
        }
    }
}

} // namespace

int RunTreeCommand(int argc, char** argv)
{
    bool bSpans = false;
    const char* pszFile = nullptr;
    const char* pszCharset = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--spans") == 0)
            bSpans = true;
        else if (ReadCharsetOption(argc, argv, i, pszCharset)) {
            if (pszCharset == nullptr)
                return PrintUsage();
        } else if (pszFile == nullptr && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0))
            pszFile = argv[i];
        else
            return PrintUsage();
    }
    std::string strPage;
    if (!ReadWholeFile(pszFile, strPage))
        return 1;
    // Spans are byte offsets into the file unless a charset asks for the
    // converted text.
    if (pszCharset != nullptr)
        DecodePage(strPage, pszCharset);
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());

    const char* const pBase = strPage.data();
    std::string strOut;
    // Pre-order without recursion: the stack holds where to go on after
    // each subtree, with its depth.
    std::vector<std::pair<const CHtmlNode*, int>> stack;
    const CHtmlNode* pNode = doc.GetFirst();
    int nDepth = 0;
    char szLine[128];
    while (pNode != nullptr || !stack.empty()) {
        if (pNode == nullptr) {
            std::tie(pNode, nDepth) = stack.back();
            stack.pop_back();
            continue;
        }
        if (bSpans) {
            std::snprintf(szLine, sizeof(szLine), "%d %d %zu %zu %zu %zu\n", nDepth,
                          static_cast<int>(pNode->GetKind()),
                          static_cast<size_t>(pNode->GetStart() - pBase),
                          static_cast<size_t>(pNode->GetEnd() - pBase),
                          static_cast<size_t>(pNode->GetNameStart() - pBase),
                          static_cast<size_t>(pNode->GetNameEnd() - pBase));
            strOut += szLine;
        } else {
            strOut.append(static_cast<size_t>(nDepth) * 2, ' ');
            switch (pNode->GetKind()) {
            case CHtmlNode::KIND_TEXT:
                strOut += "text ";
                strOut += Excerpt(pNode->GetStart(), pNode->GetEnd());
                break;
            case CHtmlNode::KIND_ELEMENT:
                strOut += "element ";
                strOut += pNode->GetName();
                break;
            case CHtmlNode::KIND_END_TAG:
                strOut += "end /";
                strOut += pNode->GetName();
                break;
            case CHtmlNode::KIND_COMMENT:
                strOut += "comment ";
                strOut += Excerpt(pNode->GetNameStart(), pNode->GetNameEnd());
                break;
            }
            strOut += '\n';
        }
        if (strOut.size() >= 65536) {
            WriteBytes(strOut);
            strOut.clear();
        }
        if (pNode->GetFirstChild() != nullptr) {
            if (pNode->GetNext() != nullptr)
                stack.emplace_back(pNode->GetNext(), nDepth);
            pNode = pNode->GetFirstChild();
            ++nDepth;
        } else {
            pNode = pNode->GetNext();
        }
    }
    WriteBytes(strOut);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int RunSelectCommand(int argc, char** argv)
{
    enum { TEXT, INNER, OUTER, ATTR } render = TEXT;
    const char* pszAttr = nullptr;
    const char* pszCharset = nullptr;
    std::vector<const char*> apArgs;
    for (int i = 0; i < argc; ++i) {
        if (ReadCharsetOption(argc, argv, i, pszCharset)) {
            if (pszCharset == nullptr)
                return PrintUsage();
        } else if (std::strcmp(argv[i], "--text") == 0)
            render = TEXT;
        else if (std::strcmp(argv[i], "--inner") == 0)
            render = INNER;
        else if (std::strcmp(argv[i], "--outer") == 0)
            render = OUTER;
        else if (std::strcmp(argv[i], "--attr") == 0 && i + 1 < argc) {
            render = ATTR;
            pszAttr = argv[++i];
        } else if (std::strncmp(argv[i], "--", 2) == 0)
            return PrintUsage();
        else
            apArgs.push_back(argv[i]);
    }
    // A path may itself be empty ("") to select the first node.
    if (apArgs.size() != 2)
        return PrintUsage();
    std::string strPage;
    if (!ReadWholeFile(apArgs[0], strPage))
        return 1;
    if (pszCharset != nullptr)
        DecodePage(strPage, pszCharset);
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());
    const CHtmlNode* pNode = doc.FindPath(apArgs[1]);
    if (pNode == nullptr) {
        std::fprintf(stderr, "quarvex-cli: the path '%s' finds no node\n", apArgs[1]);
        return 1;
    }
    std::string strOut;
    switch (render) {
    case TEXT: pNode->AppendText(strOut); break;
    case INNER: pNode->AppendInnerHtml(strOut); break;
    case OUTER: pNode->AppendOuterHtml(strOut); break;
    case ATTR:
        if (!pNode->GetAttribute(pszAttr, strOut)) {
            std::fprintf(stderr, "quarvex-cli: the node has no attribute '%s' with a value\n", pszAttr);
            return 1;
        }
        break;
    }
    WriteBytes(strOut);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int RunExtractCommand(int argc, char** argv)
{
    const char* pszCharset = nullptr;
    std::vector<char*> apArgs;
    for (int i = 0; i < argc; ++i) {
        if (ReadCharsetOption(argc, argv, i, pszCharset)) {
            if (pszCharset == nullptr)
                return PrintUsage();
        } else {
            apArgs.push_back(argv[i]);
        }
    }
    if (apArgs.size() != 2)
        return PrintUsage();
    argv = apArgs.data();
    std::string strDef;
    if (!ReadWholeFile(argv[0], strDef))
        return 1;
    quarvex::CMarkupDoc def;
    def.Parse(strDef.c_str());
    std::unique_ptr<CLocation> pForest(LoadLocations(def));
    if (pForest == nullptr) {
        std::fprintf(stderr, "quarvex-cli: '%s' holds no block (root@location)\n", argv[0]);
        return 1;
    }
    std::string strPage;
    if (!ReadWholeFile(argv[1], strPage))
        return 1;
    // Decoded as the task decodes its page: --charset, else the task's own
    // choice, else found from the page itself. Links resolve against the
    // task's address.
    std::string strChoice = pszCharset != nullptr ? pszCharset : "";
    std::string strPageUrl;
    if (const quarvex::CMarkupNode* pRoot = def.FindTopLevel(quarvex::KEY_ROOT)) {
        if (const quarvex::CMarkupNode* pNetwork = pRoot->FindChild(quarvex::KEY_NETWORK)) {
            if (strChoice.empty())
                strChoice = quarvex::GetKeyText(pNetwork, quarvex::KEY_CHARSET);
            strPageUrl = quarvex::GetKeyText(pNetwork, quarvex::KEY_URL);
        }
    }
    DecodePage(strPage, strChoice);
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());
    doc.SetPageUrl(strPageUrl);

    CDataNodeList columns;
    pForest->CollectDataNodes(columns);
    std::string strLine;
    for (size_t i = 0; i < columns.GetCount(); ++i) {
        if (i > 0)
            strLine += '\t';
        WriteEscaped(columns[i]->m_strName, strLine);
    }
    strLine += '\n';
    WriteBytes(strLine);

    if (pForest->Resolve(doc)) {
        const int nDepth = pForest->Depth();
        std::string strValue;
        do {
            strLine.clear();
            for (size_t i = 0; i < columns.GetCount(); ++i) {
                if (i > 0)
                    strLine += '\t';
                columns[i]->GetValue(strValue);
                WriteEscaped(strValue, strLine);
            }
            strLine += '\n';
            WriteBytes(strLine);
        } while (pForest->StepForest(nDepth));
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
