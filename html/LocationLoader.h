// LocationLoader.h - builds the block forest of a task definition: the
// <location> elements under root, their <data> columns and the forests of
// linked pages.
#pragma once

#include "Location.h"

namespace quarvex {
class CMarkupDoc;
class CMarkupNode;
} // namespace quarvex

// The chain of top-level blocks of the definition, in definition order; null
// when it has none. The caller owns the result.
CLocation* LoadLocations(const quarvex::CMarkupDoc& def);
// A block with its columns and child blocks; null unless pElem is a
// <location> element, or when it lies deeper than blocks may nest.
CLocation* LoadLocation(const quarvex::CMarkupNode* pElem);
// A column; null unless pElem is a <data> element.
CDataNode* LoadDataNode(const quarvex::CMarkupNode* pElem);
