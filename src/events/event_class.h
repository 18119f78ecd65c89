#pragma once
#include <any>

#include "rk/core/event_parms.h"

// Type-erased view of a record as its leaf class: holds `const Leaf*` for the
// leaf chosen by type, stored bit and output bit; empty for control records
// and unknown types. Read back with std::any_cast of the exact pointer type.
std::any ClassOf(const rk::core::EventParms& record);
