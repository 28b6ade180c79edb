// CmdMarkup.cpp - "markup format [FILE]" and "markup get PATH [FILE]": read a
// markup document from a file or standard input and write its text form, or
// the text a path finds.
#include "Commands.h"

#include "markup/MarkupDoc.h"

#include <cstdio>
#include <cstring>
#include <string>

using quarvex::CMarkupDoc;
using quarvex::CMarkupNode;

namespace {

// Reads standard input up to its end or its first zero byte (which ends the
// text anyway); false when it is unreadable or longer than a document may be.
bool ReadStandardInput(std::string& strText)
{
    char aBuffer[65536];
    for (;;) {
        const size_t nRead = std::fread(aBuffer, 1, sizeof(aBuffer), stdin);
        const char* pZero = static_cast<const char*>(std::memchr(aBuffer, '\0', nRead));
        strText.append(aBuffer, pZero != nullptr ? static_cast<size_t>(pZero - aBuffer) : nRead);
        if (pZero != nullptr)
            return true;
        if (strText.size() > CMarkupDoc::MAX_TEXT_SIZE) {
            std::fputs("quarvex-cli: standard input is too large for a markup document\n", stderr);
            return false;
        }
        if (nRead < sizeof(aBuffer)) {
            if (std::ferror(stdin)) {
                std::fputs("quarvex-cli: cannot read standard input\n", stderr);
                return false;
            }
            return true;
        }
    }
}

// Fills doc from pszFile, or from standard input when it is null or "-".
bool LoadDocument(const char* pszFile, CMarkupDoc& doc)
{
    if (pszFile == nullptr || std::strcmp(pszFile, "-") == 0) {
        std::string strText;
        if (!ReadStandardInput(strText))
            return false;
        doc.Parse(strText.c_str());
        return true;
    }
    if (!doc.LoadFile(pszFile)) {
        std::fprintf(stderr, "quarvex-cli: cannot read '%s' (missing, not a regular file, or too large)\n",
                     pszFile);
        return false;
    }
    return true;
}

bool WriteOut(const char* p, size_t nLen)
{
    if (std::fwrite(p, 1, nLen, stdout) != nLen || std::fflush(stdout) != 0) {
        std::fputs("quarvex-cli: cannot write standard output\n", stderr);
        return false;
    }
    return true;
}

int RunFormat(const char* pszFile)
{
    CMarkupDoc doc;
    if (!LoadDocument(pszFile, doc))
        return 1;
    if (doc.IsEmpty()) {
        std::fputs("quarvex-cli: the document is empty\n", stderr);
        return 1;
    }
    std::string strText;
    if (!doc.SaveToString(strText)) {
        std::fputs("quarvex-cli: the document's text form would be too large\n", stderr);
        return 1;
    }
    return WriteOut(strText.data(), strText.size()) ? 0 : 1;
}

// A text node prints its text; a key prints its value; an element without a
// text child (or a stray end tag) prints nothing.
int RunGet(const char* pszPath, const char* pszFile)
{
    CMarkupDoc doc;
    if (!LoadDocument(pszFile, doc))
        return 1;
    const CMarkupNode* pNode = doc.FindPath(pszPath);
    if (pNode == nullptr) {
        std::fprintf(stderr, "quarvex-cli: nothing found at '%s'\n", pszPath);
        return 1;
    }
    const CMarkupNode* pText = pNode->IsText() ? pNode : pNode->GetFirstChild();
    if (pText == nullptr || !pText->IsText() || pText->GetName() == nullptr)
        return 0;
    std::string strLine = pText->GetName();
    strLine += '\n';
    return WriteOut(strLine.data(), strLine.size()) ? 0 : 1;
}

} // namespace

int RunMarkupCommand(int argc, char** argv)
{
    if (argc >= 1 && std::strcmp(argv[0], "format") == 0 && argc <= 2)
        return RunFormat(argc == 2 ? argv[1] : nullptr);
    if (argc >= 2 && std::strcmp(argv[0], "get") == 0 && argc <= 3)
        return RunGet(argv[1], argc == 3 ? argv[2] : nullptr);
    return PrintUsage();
}
