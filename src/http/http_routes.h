#pragma once
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace corvane {

// What the endpoint serves, supplied by its owner. Every callback runs on the
// I/O thread that runs the server, one request at a time; it must not block.
// A callback that throws answers 500.
struct HttpRoutes {
  // GET /metrics: Prometheus text exposition format 0.0.4.
  std::function<std::string()> metrics;
  // GET /healthz: empty when healthy (200 "ok"), else why not (503).
  std::function<std::string()> healthProblem;
  // GET /api/status: the status document (an object); the server adds "log"
  // and "health" ("ok" or the problem).
  std::function<nlohmann::json()> status;
  // The last lines logged at Warning or above, oldest first ("log" of /api/status).
  std::function<std::vector<std::string>()> recentWarnings;
};

} // namespace corvane
