// The metric families: names, labels and values in the text exposition, and
// totals that only ever grow however the counts they are fed behave.
#include <algorithm>
#include <gtest/gtest.h>

#include "metrics/core_metrics.h"

using corvane::CoreMetrics;
using corvane::MetricsSample;

namespace {

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

} // namespace

TEST(CoreMetrics, ExposesTheSampleAsMonotonicTotals) {
  CoreMetrics metrics("26.1.3.0");
  MetricsSample sample;
  sample.eventsQueuedByType = {{"alarm", 3}};
  sample.postsRefusedThrottled = 2;
  sample.plugins = {{"01", "RuzUZ.so", 7}};
  sample.ipcPacketsSent = 5;
  sample.logLinesByLevel = {{"warning", 4}};
  sample.throttled = true;
  sample.memoryLimitBytes = 1u << 30;
  sample.uptimeSeconds = 12.5;
  auto& sampler = metrics.Sampler("01", "RuzUZ.so");
  int due = 0;
  for (uint32_t i = 0; i < 4 * corvane::OnEventSampler::kEvery; ++i) {
    if (sampler.Due()) {
      ++due;
      sampler.Observe(std::chrono::microseconds(20));
    }
  }
  EXPECT_EQ(due, 4);
  EXPECT_EQ(&metrics.Sampler("01", "RuzUZ.so"), &sampler);

  std::string text = "\n" + metrics.Render(sample);
  EXPECT_TRUE(Has(text, "corvane_build_info{version=\"26.1.3.0\"} 1")) << text;
  EXPECT_TRUE(Has(text, "# TYPE corvane_events_queued_total counter"));
  EXPECT_TRUE(Has(text, "corvane_events_queued_total{type=\"alarm\"} 3"));
  EXPECT_TRUE(Has(text, "corvane_posts_refused_total{reason=\"throttled\"} 2"));
  EXPECT_TRUE(Has(text, "corvane_posts_refused_total{reason=\"stopping\"} 0"));
  EXPECT_TRUE(Has(text, "corvane_plugin_deliveries_total{file=\"RuzUZ.so\",plugin=\"01\"} 7"));
  EXPECT_TRUE(Has(text, "corvane_ipc_packets_sent_total 5"));
  EXPECT_TRUE(Has(text, "corvane_log_lines_total{level=\"warning\"} 4"));
  EXPECT_TRUE(Has(text, "corvane_throttled 1"));
  EXPECT_TRUE(Has(text, "corvane_memory_limit_bytes 1073741824"));
  EXPECT_TRUE(Has(text, "corvane_uptime_seconds 12.5"));
  EXPECT_TRUE(Has(text, "corvane_plugin_on_event_duration_seconds_count{file=\"RuzUZ.so\","
                        "plugin=\"01\"} 4"));

  // Totals grow with the sample; one that went back (a plug-in reloaded)
  // counts on from there rather than down.
  sample.ipcPacketsSent = 9;
  sample.plugins[0].deliveries = 2;
  sample.throttled = false;
  text = "\n" + metrics.Render(sample);
  EXPECT_TRUE(Has(text, "corvane_ipc_packets_sent_total 9"));
  EXPECT_TRUE(Has(text, "corvane_plugin_deliveries_total{file=\"RuzUZ.so\",plugin=\"01\"} 9"));
  EXPECT_TRUE(Has(text, "corvane_throttled 0"));

  const auto flat = corvane::Flatten(sample);
  EXPECT_NE(std::find(flat.counters.begin(), flat.counters.end(),
                      std::pair<std::string, double>("corvane_ipc_packets_sent_total", 9)),
            flat.counters.end());
  EXPECT_NE(std::find(flat.gauges.begin(), flat.gauges.end(),
                      std::pair<std::string, double>("corvane_uptime_seconds", 12.5)),
            flat.gauges.end());
}
