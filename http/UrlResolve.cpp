// UrlResolve.cpp - RFC 3986 reference resolution.
#include "UrlResolve.h"

#include <optional>

namespace {

// The five components of a reference; a component that is absent differs
// from one that is present and empty ("?" versus no query).
struct SUrlParts {
    std::optional<std::string_view> scheme;
    std::optional<std::string_view> authority;
    std::string_view path;
    std::optional<std::string_view> query;
    std::optional<std::string_view> fragment;
};

bool IsSchemeChar(char c, bool bFirst)
{
    const bool bAlpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (bFirst)
        return bAlpha;
    return bAlpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The regular expression of RFC 3986 appendix B, by hand.
SUrlParts SplitUrl(std::string_view str)
{
    SUrlParts parts;
    const std::size_t nHash = str.find('#');
    if (nHash != std::string_view::npos) {
        parts.fragment = str.substr(nHash + 1);
        str = str.substr(0, nHash);
    }
    const std::size_t nColon = str.find(':');
    if (nColon != std::string_view::npos && nColon > 0) {
        bool bScheme = true;
        for (std::size_t i = 0; i < nColon && bScheme; ++i)
            bScheme = IsSchemeChar(str[i], i == 0);
        if (bScheme) {
            parts.scheme = str.substr(0, nColon);
            str = str.substr(nColon + 1);
        }
    }
    const std::size_t nQuery = str.find('?');
    if (nQuery != std::string_view::npos) {
        parts.query = str.substr(nQuery + 1);
        str = str.substr(0, nQuery);
    }
    if (str.substr(0, 2) == "//") {
        str = str.substr(2);
        const std::size_t nSlash = str.find('/');
        parts.authority = str.substr(0, nSlash);
        str = nSlash == std::string_view::npos ? std::string_view() : str.substr(nSlash);
    }
    parts.path = str;
    return parts;
}

std::string MergePaths(const SUrlParts& base, std::string_view strRefPath)
{
    if (base.authority && base.path.empty())
        return "/" + std::string(strRefPath);
    const std::size_t nSlash = base.path.rfind('/');
    if (nSlash == std::string_view::npos)
        return std::string(strRefPath);
    std::string strOut(base.path.substr(0, nSlash + 1));
    strOut.append(strRefPath);
    return strOut;
}

bool IsTrimmed(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

} // namespace

std::string RemoveDotSegments(std::string_view strIn)
{
    std::string strOut;
    strOut.reserve(strIn.size());
    while (!strIn.empty()) {
        if (strIn.substr(0, 3) == "../") {
            strIn.remove_prefix(3);
        } else if (strIn.substr(0, 2) == "./") {
            strIn.remove_prefix(2);
        } else if (strIn.substr(0, 3) == "/./") {
            strIn.remove_prefix(2);
        } else if (strIn == "/.") {
            strIn = "/";
        } else if (strIn.substr(0, 4) == "/../" || strIn == "/..") {
            if (strIn.size() == 3)
                strIn = "/";
            else
                strIn.remove_prefix(3);
            const std::size_t nSlash = strOut.rfind('/');
            strOut.resize(nSlash == std::string::npos ? 0 : nSlash);
        } else if (strIn == "." || strIn == "..") {
            strIn = std::string_view();
        } else {
            const std::size_t nNext = strIn.find('/', 1);
            const std::size_t nTake = nNext == std::string_view::npos ? strIn.size() : nNext;
            strOut.append(strIn.substr(0, nTake));
            strIn.remove_prefix(nTake);
        }
    }
    return strOut;
}

std::string ResolveUrl(std::string_view strBase, std::string_view strRef)
{
    while (!strRef.empty() && IsTrimmed(strRef.front()))
        strRef.remove_prefix(1);
    while (!strRef.empty() && IsTrimmed(strRef.back()))
        strRef.remove_suffix(1);

    const SUrlParts ref = SplitUrl(strRef);
    const SUrlParts base = SplitUrl(strBase);
    if (!ref.scheme && !base.scheme)
        return std::string(strRef);

    SUrlParts target;
    std::string strPath;
    if (ref.scheme) {
        target.scheme = ref.scheme;
        target.authority = ref.authority;
        strPath = RemoveDotSegments(ref.path);
        target.query = ref.query;
    } else {
        target.scheme = base.scheme;
        if (ref.authority) {
            target.authority = ref.authority;
            strPath = RemoveDotSegments(ref.path);
            target.query = ref.query;
        } else {
            target.authority = base.authority;
            if (ref.path.empty()) {
                strPath = std::string(base.path);
                target.query = ref.query ? ref.query : base.query;
            } else {
                if (ref.path.front() == '/')
                    strPath = RemoveDotSegments(ref.path);
                else
                    strPath = RemoveDotSegments(MergePaths(base, ref.path));
                target.query = ref.query;
            }
        }
    }
    target.fragment = ref.fragment;

    // Recomposition, RFC 3986 section 5.3.
    std::string strOut;
    strOut.reserve(strBase.size() + strRef.size());
    strOut.append(*target.scheme).push_back(':');
    if (target.authority)
        strOut.append("//").append(*target.authority);
    strOut.append(strPath);
    if (target.query)
        strOut.append("?").append(*target.query);
    if (target.fragment)
        strOut.append("#").append(*target.fragment);
    return strOut;
}

std::string_view StripFragment(std::string_view strUrl)
{
    return strUrl.substr(0, strUrl.find('#'));
}
