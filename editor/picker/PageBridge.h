// PageBridge.h - asks the page in the browser window for the element at a
// point, with its ancestry, text and a few attributes, and outlines it. The
// script runs in an isolated world, so the page's own scripts cannot bend
// the DOM functions it calls; a page that does not answer within 1000 ms
// counts as no browser at all.
#pragma once

#include "ElementModel.h"
#include "PathCheck.h"

#include <QObject>
#include <QPoint>
#include <QVariant>

#include <functional>
#include <optional>
#include <string>

class QWebEngineView;

namespace quarvex {

// What the page said of the element at a point.
struct SPickInfo {
    std::string strReportedTag;  // As the browser spells it, e.g. "TD".
    CElementModel model;         // Filled only when the ancestry was asked for.
    int nElement = -1;           // The element in model.
    SPickedElement picked;       // Its path (BuildNodePath), tag, text and attributes.
    std::string strPageUrl;      // The document's address.
};

class CPageBridge : public QObject {
    Q_OBJECT
public:
    static constexpr int ANSWER_TIMEOUT_MS = 1000;

    explicit CPageBridge(QObject* pParent = nullptr);

    enum EQuery {
        QUERY_TAG = 0,       // tag name only, for the moves of a drag
        QUERY_ELEMENT = 1,   // tag, ancestry, text and attributes, for the release
    };
    // pos is in the view's coordinates; the page zoom is taken into account.
    // fnDone runs once on this thread: with the answer, or with nothing when
    // the page has no element there, is still loading, shows no web page or
    // does not answer in time. bOutline draws the outline on the element.
    void Query(QWebEngineView* pView, QPoint pos, EQuery nQuery, bool bOutline,
               std::function<void(std::optional<SPickInfo>)> fnDone);
    // Removes the outline from the page (fire and forget).
    static void RemoveOutline(QWebEngineView* pView);

    // Reads the script's answer; public for the tests. Bounded: an answer
    // with absurd sizes is refused.
    static std::optional<SPickInfo> ReadAnswer(const QVariant& answer, EQuery nQuery);
};

} // namespace quarvex
