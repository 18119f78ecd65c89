#pragma once
// The rows of the table, each measured against its floor in this process,
// alternating core and floor runs.
#include <vector>

#include "bench_install.h"
#include "bench_report.h"

// 1a/1b small records (1c: four posters on two cores), 2 40,000-byte payloads, 3 idle latency, 4
// ZeroMQ.
std::vector<BenchRow> EventRows(const BenchInstall& install, const BenchConfig& config);
// 5a/5b search results released at once and kept 1 ms.
std::vector<BenchRow> SearchRows(const BenchInstall& install, const BenchConfig& config);
// 6a/6b IPC packets parent -> plug-in and plug-in -> parent.
std::vector<BenchRow> IpcRows(const BenchInstall& install, const BenchConfig& config);
// 7 start-up with a hundred plug-ins.
std::vector<BenchRow> StartupRows(const BenchInstall& install, const BenchConfig& config);
// 8a heap per queued record, 8b allocations per small event, 8c instructions.
std::vector<BenchRow> MemoryRows(const BenchInstall& install, const BenchConfig& config);

// Inside valgrind: the single-producer runs whose instructions 8c counts.
int CallgrindChild(const BenchInstall& install);
