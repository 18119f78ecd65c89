#pragma once
// One row of the benchmark table, the settings every row reads, and the
// small statistics the rows share.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct BenchConfig {
  int rounds = 5;     // A B pairs per row; the table shows medians
  double scale = 1.0; // multiplies every event count (--quick: 0.1)
  std::string self;   // this program, for the callgrind child
};

struct BenchRow {
  std::string id;    // "1a"
  std::string what;  // what is measured
  std::string core;  // the core's figure
  std::string floor; // the floor's figure, or "-"
  std::optional<double> ratio;
  std::string target; // e.g. ">= 1.0"; empty when the row has none
  std::optional<bool> met;
  std::string summary; // "1a 1.12x"; empty: not in the summary line
};

double Median(std::vector<double> values);
// The p-th percentile (0..100) by nearest rank.
int64_t Percentile(std::vector<int64_t> values, double p);
// "5.12 M/s", "912 k/s", "850 /s".
std::string Rate(double perSecond);
std::string Fixed(double value, int decimals);

void PrintTable(const std::vector<BenchRow>& rows);
void PrintSummary(const std::vector<BenchRow>& rows);
