// PageBridge.cpp - the script that answers the picker from inside the page.
#include "PageBridge.h"

#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <memory>

namespace quarvex {

namespace {

// Limits on what a page may hand back: a hostile DOM can be millions of
// elements wide or deep.
constexpr int MAX_DEPTH = 4096;
constexpr int MAX_SIBLINGS = 100000;
constexpr int MAX_TAG = 256;
constexpr int MAX_TEXT = 8000;

// Arguments: x, y (CSS pixels), full (ancestry and text), outline.
// The outline is a fixed box that lets the pointer through, so
// elementFromPoint never returns it; it sits after body and moves no index
// the paths count.
const char* const s_pszScript = R"JS(
(function (x, y, full, outline) {
  var ID = '__quarvex_pick_outline__';
  var box = document.getElementById(ID);
  var el = document.elementFromPoint(x, y);
  if (!el || el === box) {
    if (box) box.style.display = 'none';
    return { none: true, state: document.readyState, href: location.href };
  }
  if (outline && document.documentElement) {
    if (!box) {
      box = document.createElement('div');
      box.id = ID;
      box.style.cssText = 'position:fixed;pointer-events:none;z-index:2147483647;' +
        'border:2px solid #e0201b;background:rgba(224,32,27,0.12);margin:0;padding:0;box-sizing:border-box';
      document.documentElement.appendChild(box);
    }
    var r = el.getBoundingClientRect();
    box.style.left = r.left + 'px'; box.style.top = r.top + 'px';
    box.style.width = r.width + 'px'; box.style.height = r.height + 'px';
    box.style.display = 'block';
  }
  var out = { tag: String(el.tagName), state: document.readyState, href: location.href };
  if (!full) return out;
  var chain = [];
  for (var e = el; e && chain.length < MAX_DEPTH; e = e.parentElement) {
    var level = { tag: String(e.tagName), before: [] };
    var p = e.parentElement;
    if (p) {
      var kids = p.children, found = false;
      for (var i = 0; i < kids.length && i < MAX_SIBLINGS; i++) {
        if (kids[i] === e) { found = true; break; }
        level.before.push(String(kids[i].tagName));
      }
      if (!found) return { tooLarge: true, state: document.readyState, href: location.href };
    }
    chain.push(level);
  }
  if (e) return { tooLarge: true, state: document.readyState, href: location.href };
  out.chain = chain;
  var text = '', cut = false;
  var walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
  for (var t = walker.nextNode(); t; t = walker.nextNode()) {
    var skip = false;
    for (var a = t.parentNode; a && a !== el.parentNode; a = a.parentNode) {
      var n = a.nodeName;
      if (n === 'SCRIPT' || n === 'STYLE' || n === 'script' || n === 'style') { skip = true; break; }
    }
    if (skip) continue;
    text += t.data;
    if (text.length > MAX_TEXT) { text = text.substring(0, MAX_TEXT); cut = true; break; }
  }
  out.text = text; out.cut = cut;
  var attrs = [];
  ['id', 'name', 'href', 'src'].forEach(function (k) {
    var v = el.getAttribute(k);
    if (v !== null) attrs.push([k, String(v).substring(0, MAX_TEXT)]);
  });
  out.attrs = attrs;
  return out;
})
)JS";

QString ScriptCall(double x, double y, bool bFull, bool bOutline)
{
    QString strScript = QString::fromUtf8(s_pszScript);
    strScript.replace(QLatin1String("MAX_DEPTH"), QString::number(MAX_DEPTH));
    strScript.replace(QLatin1String("MAX_SIBLINGS"), QString::number(MAX_SIBLINGS));
    strScript.replace(QLatin1String("MAX_TEXT"), QString::number(MAX_TEXT));
    return strScript + QStringLiteral("(%1, %2, %3, %4)")
                           .arg(x, 0, 'f', 2)
                           .arg(y, 0, 'f', 2)
                           .arg(bFull ? QLatin1String("true") : QLatin1String("false"))
                           .arg(bOutline ? QLatin1String("true") : QLatin1String("false"));
}

bool IsWebAddress(const QString& strHref)
{
    return strHref.startsWith(QLatin1String("http://")) || strHref.startsWith(QLatin1String("https://"))
           || strHref.startsWith(QLatin1String("file:"));
}

std::string Utf8(const QString& str, int nMax)
{
    return str.left(nMax).toStdString();
}

} // namespace

CPageBridge::CPageBridge(QObject* pParent)
    : QObject(pParent)
{
}

std::optional<SPickInfo> CPageBridge::ReadAnswer(const QVariant& answer, EQuery nQuery)
{
    const QVariantMap map = answer.toMap();
    if (map.isEmpty() || map.value(QStringLiteral("none")).toBool() || map.value(QStringLiteral("tooLarge")).toBool())
        return std::nullopt;
    // A document still being read, or no web page at all (the blank page, an
    // error page), is not a page the task could read.
    const QString strHref = map.value(QStringLiteral("href")).toString();
    if (map.value(QStringLiteral("state")).toString() == QLatin1String("loading") || !IsWebAddress(strHref))
        return std::nullopt;
    const QString strTag = map.value(QStringLiteral("tag")).toString();
    if (strTag.isEmpty() || strTag.size() > MAX_TAG)
        return std::nullopt;

    SPickInfo info;
    info.strReportedTag = Utf8(strTag, MAX_TAG);
    info.strPageUrl = Utf8(strHref, 8192);
    info.picked.strTag = LowerAscii(info.strReportedTag);
    if (nQuery == QUERY_TAG)
        return info;

    const QVariantList chain = map.value(QStringLiteral("chain")).toList();
    if (chain.isEmpty() || chain.size() > MAX_DEPTH)
        return std::nullopt;
    // The chain runs from the element up; the model is filled from the top.
    int nParent = -1;
    for (qsizetype i = chain.size() - 1; i >= 0; --i) {
        const QVariantMap level = chain[i].toMap();
        const QVariantList before = level.value(QStringLiteral("before")).toList();
        if (before.size() > MAX_SIBLINGS || (nParent < 0 && !before.isEmpty()))
            return std::nullopt;
        for (const QVariant& tag : before)
            info.model.Add(Utf8(tag.toString(), MAX_TAG), nParent);
        nParent = info.model.Add(Utf8(level.value(QStringLiteral("tag")).toString(), MAX_TAG), nParent);
    }
    info.nElement = nParent;
    info.picked.strPath = BuildNodePath(info.model, info.nElement);
    info.picked.strText = Utf8(map.value(QStringLiteral("text")).toString(), MAX_TEXT);
    info.picked.bTextCut = map.value(QStringLiteral("cut")).toBool();
    const QVariantList attrs = map.value(QStringLiteral("attrs")).toList();
    for (const QVariant& pair : attrs) {
        const QVariantList kv = pair.toList();
        if (kv.size() == 2 && info.picked.aAttributes.size() < 4)
            info.picked.aAttributes.emplace_back(Utf8(kv[0].toString(), 16), Utf8(kv[1].toString(), MAX_TEXT));
    }
    return info;
}

void CPageBridge::Query(QWebEngineView* pView, QPoint pos, EQuery nQuery, bool bOutline,
                        std::function<void(std::optional<SPickInfo>)> fnDone)
{
    if (pView == nullptr || pView->page() == nullptr) {
        fnDone(std::nullopt);
        return;
    }
    // Whichever comes first, the answer or the time limit, settles the query;
    // the other finds it settled and does nothing.
    struct SPending {
        bool bSettled = false;
        std::function<void(std::optional<SPickInfo>)> fnDone;
    };
    auto pPending = std::make_shared<SPending>();
    pPending->fnDone = std::move(fnDone);
    QPointer<CPageBridge> pGuard(this);

    const double dZoom = pView->zoomFactor() > 0 ? pView->zoomFactor() : 1.0;
    const QString strCall = ScriptCall(pos.x() / dZoom, pos.y() / dZoom, nQuery == QUERY_ELEMENT, bOutline);
    pView->page()->runJavaScript(strCall, QWebEngineScript::ApplicationWorld, [pPending, pGuard, nQuery](const QVariant& answer) {
        if (pPending->bSettled || pGuard.isNull())
            return;
        pPending->bSettled = true;
        pPending->fnDone(ReadAnswer(answer, nQuery));
    });
    QTimer::singleShot(ANSWER_TIMEOUT_MS, this, [pPending] {
        if (pPending->bSettled)
            return;
        pPending->bSettled = true;
        pPending->fnDone(std::nullopt);
    });
}

void CPageBridge::RemoveOutline(QWebEngineView* pView)
{
    if (pView == nullptr || pView->page() == nullptr)
        return;
    pView->page()->runJavaScript(
        QStringLiteral("(function(){var b=document.getElementById('__quarvex_pick_outline__');if(b)b.remove();})()"),
        QWebEngineScript::ApplicationWorld);
}

} // namespace quarvex
