// RunnerText.h - the escapes the runner's outputs need: task names and log
// texts come from users and pages, so every output form escapes them its way.
#pragma once

#include <string>
#include <string_view>

#include "engine/TextFormat.h"  // JsonQuote, IsoTimeUtc

namespace quarvex {

// Text for HTML element content and quoted attribute values.
std::string HtmlEscape(std::string_view strValue);
// A Prometheus label value (without the quotes): backslash, quote, newline.
std::string PromLabelEscape(std::string_view strValue);
// One log line's text: line breaks and other control bytes become spaces,
// trailing ones are dropped.
std::string OneLine(std::string_view strValue);

} // namespace quarvex
