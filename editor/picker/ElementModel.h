// ElementModel.h - the picked element and its ancestors as the browser reports
// them (tag name, parent, ordered element children), and the node path built
// from them. No Qt here: the rules are tested without a browser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

// One element of the browser's document. Children are indexes into the
// model, in document order; a model filled from a pick holds, for each
// ancestor, only the children up to the one on the way down.
struct SPickElement {
    std::string strTag;       // As the browser spells it ("TD"); not lower-cased.
    int nParent = -1;         // -1 for the topmost element.
    std::vector<int> aChildren;
};

class CElementModel {
public:
    // Appends an element as the last child of nParent (-1: a topmost element)
    // and returns its index.
    int Add(std::string_view strTag, int nParent);
    const SPickElement& Get(int nIndex) const { return m_aElements[static_cast<size_t>(nIndex)]; }
    int GetCount() const { return static_cast<int>(m_aElements.size()); }
    void Clear() { m_aElements.clear(); }

private:
    std::vector<SPickElement> m_aElements;
};

// The element's node path before any tbody handling: its lower-cased tag
// per level, one '@' per level, and "#tag" once for every earlier element
// child of the same parent with the same tag (ASCII case ignored). An
// element without a parent yields its tag alone. The walk is iterative, so a
// document nested thousands of levels deep costs no stack.
std::string BuildNodePath(const CElementModel& model, int nElement);

// Every "table@tbody" replaced by "table", once per occurrence: what a path
// becomes when nothing is known of the page text.
std::string ReplaceTableTbody(std::string_view strPath);

// ASCII lower case; other bytes unchanged.
std::string LowerAscii(std::string_view strText);

} // namespace quarvex
