#include "search/search_handler.h"

#include "core/dvr_core.h"

// Placeholder until searches are built: nothing is a search.
AsyncEvent::AsyncEvent(const rk::core::EventParms& request) : record(request) {}
AsyncEvent::~AsyncEvent() = default;
SearchHandler::SearchHandler(DvrCore& core) : core_(core) {}
bool SearchHandler::searchRequest(const rk::core::EventParms&) { return false; }
uint32_t SearchHandler::Cancel(const rk::core::EventParms&) { return 0; }
bool SearchHandler::AdmitResult(const rk::core::EventParms&, const void*) { return false; }
void SearchHandler::BlockFreed(const void*) {}
void SearchHandler::WakeAll() {}
