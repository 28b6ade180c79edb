// RunnerText.h - the escapes the runner's outputs need: task names and log
// texts come from users and pages, so every output form escapes them its way.
#pragma once

#include <string>
#include <string_view>

namespace quarvex {

// A JSON string literal, quotes included. Bytes that are not valid UTF-8
// become U+FFFD, so the document stays valid whatever a name holds.
std::string JsonQuote(std::string_view strValue);
// Text for HTML element content and quoted attribute values.
std::string HtmlEscape(std::string_view strValue);
// A Prometheus label value (without the quotes): backslash, quote, newline.
std::string PromLabelEscape(std::string_view strValue);
// One log line's text: line breaks and other control bytes become spaces,
// trailing ones are dropped.
std::string OneLine(std::string_view strValue);
// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ"; "" for 0.
std::string IsoTimeUtc(long long nUnix);

} // namespace quarvex
