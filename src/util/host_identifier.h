#pragma once
#include <string>

// The text that names this machine: "sudo -n ./scripts/get_id.sh", then
// "./scripts/get_id.sh", then the SHA-256 of the empty input in hex.
std::string ObtainHostIdentifier();
// Logs "Startup status: code D" when the identifier is the fallback digest.
void ReportStartupStatus(const std::string& hostId);
