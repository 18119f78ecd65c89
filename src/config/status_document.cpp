#include "core/dvr_core.h"

// Placeholders until the documents are built.
void DvrCore::ReadConfiguration() {}
void DvrCore::PublishStatus() {}
void DvrCore::OnConfigDelta(const rk::core::EventParms&) {}
