#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

int64_t Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::string Fixed(double value, int decimals) {
  if (std::isnan(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Rate(double perSecond) {
  if (std::isnan(perSecond)) return "n/a";
  if (perSecond >= 1e6) return Fixed(perSecond / 1e6, 2) + " M/s";
  if (perSecond >= 1e3) return Fixed(perSecond / 1e3, 1) + " k/s";
  return Fixed(perSecond, 0) + " /s";
}

void PrintTable(const std::vector<BenchRow>& rows) {
  std::printf("%-4s %-52s %-20s %-20s %-7s %-8s %s\n", "row", "measure", "core", "floor", "ratio",
              "target", "met");
  for (const BenchRow& row : rows) {
    const std::string ratio = row.ratio ? Fixed(*row.ratio, 2) : "-";
    const char* met = !row.met ? "-" : *row.met ? "yes" : "NO";
    std::printf("%-4s %-52s %-20s %-20s %-7s %-8s %s\n", row.id.c_str(), row.what.c_str(),
                row.core.c_str(), row.floor.c_str(), ratio.c_str(),
                row.target.empty() ? "-" : row.target.c_str(), met);
  }
}

void PrintSummary(const std::vector<BenchRow>& rows) {
  std::string line = "summary:";
  int targets = 0, met = 0;
  for (const BenchRow& row : rows) {
    if (!row.summary.empty()) line += " " + row.summary;
    if (row.met) {
      ++targets;
      if (*row.met) ++met;
    }
  }
  std::printf("%s | targets met %d/%d\n", line.c_str(), met, targets);
}
