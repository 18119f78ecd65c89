#include "monitor/memory_monitor.h"

#include "core/dvr_core.h"

// Placeholder until monitoring is built.
MemoryMonitor::MemoryMonitor(DvrCore& core) : core_(core) {}
void MemoryMonitor::SendMemoryEvent() {}
void MemoryMonitor::Tick() {}
