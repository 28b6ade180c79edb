// UrlResolve.h - reference resolution (RFC 3986 section 5): the address a
// link, a redirect target or a <base href> names, read against the address
// of the page it came from. Bytes are never percent-decoded or re-encoded.
#pragma once

#include <string>
#include <string_view>

// The absolute address strRef names when read against the absolute address
// strBase. A reference with a scheme is taken as it stands (dot segments
// removed); a base without a scheme cannot resolve a relative reference, so
// the reference is then returned unchanged. Leading and trailing blanks and
// control bytes of strRef are ignored, as browsers do.
std::string ResolveUrl(std::string_view strBase, std::string_view strRef);

// strUrl without its fragment ("#..."), which is never sent to a server.
std::string_view StripFragment(std::string_view strUrl);

// RFC 3986 section 5.2.4 on a path.
std::string RemoveDotSegments(std::string_view strPath);
