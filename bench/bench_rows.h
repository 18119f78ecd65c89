#pragma once
// The rows of the table, each measured against its floor in this process,
// alternating core and floor runs.
#include <vector>

#include "bench_install.h"
#include "bench_report.h"

// 1a/1b small records, 1c four posters on two cores, 1d the same as 1a with the status
// endpoint on vs off, 2 40,000-byte payloads, 3 idle latency, 4 ZeroMQ.
std::vector<BenchRow> EventRows(const BenchInstall& install, const BenchConfig& config);
// 5a/5b search results released at once and kept 1 ms.
std::vector<BenchRow> SearchRows(const BenchInstall& install, const BenchConfig& config);
// 6a/6b IPC packets parent -> plug-in and plug-in -> parent.
std::vector<BenchRow> IpcRows(const BenchInstall& install, const BenchConfig& config);
// 7 start-up with a hundred plug-ins.
std::vector<BenchRow> StartupRows(const BenchInstall& install, const BenchConfig& config);
// 8a heap per queued record, 8b allocations per small event, 8c instructions.
std::vector<BenchRow> MemoryRows(const BenchInstall& install, const BenchConfig& config);
// 12 a scrape of the status endpoint's /metrics with a hundred plug-ins.
std::vector<BenchRow> MetricsRows(const BenchInstall& install, const BenchConfig& config);

// 9a alarms/s through mqtt.so and a broker, 9b post-to-receipt latency.
std::vector<BenchRow> MqttRows(const BenchInstall& install, const BenchConfig& config);
// 10a CPU per camera-second of N file cameras through ipcam.so and the
// recorder, 10b real-time share, 10c frames recorded / frames posted.
std::vector<BenchRow> IngestRows(const BenchInstall& install, const BenchConfig& config);
// 11a recorder writes, 11b search read-back, 11c export, each against plain file loops.
std::vector<BenchRow> RecordingRows(const BenchInstall& install, const BenchConfig& config);

// Inside valgrind: the single-producer runs whose instructions 8c counts.
int CallgrindChild(const BenchInstall& install);
