#include "monitor/statistics.h"

#include "core/dvr_core.h"

// Placeholder until the report is built.
void ReportStatistics(DvrCore&, ReportState&) {}
