// StatusPages.h - what the status server answers, as text: the Prometheus
// metrics, the task list as JSON and the HTML page for a person.
#pragma once

#include "Runner.h"

#include <string>

namespace quarvex {

std::string FormatMetrics(const SRunnerStatus& status);
std::string FormatTasksJson(const SRunnerStatus& status);
std::string FormatStatusPage(const SRunnerStatus& status);

} // namespace quarvex
