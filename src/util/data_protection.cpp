#include "util/data_protection.h"

// Placeholder until the service is built.
uint32_t CryptoRequest(rk::core::EventParms&, const std::string&) { return 0xFFFFFFFFu; }
