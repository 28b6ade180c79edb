// LinkedFetch.cpp - columns whose value comes from another page or file.
#include "Location.h"

#include "HtmlDoc.h"

// FIXME: linked pages and files are fetched once the HTTP session is in the
// tree; until then their values stay empty.
void CDataNode::GetLinkedPage(const CHtmlNode*, std::string&) const
{
}

void CDataNode::GetLinkedFile(const CHtmlNode*, std::string&) const
{
}
