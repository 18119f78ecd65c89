#pragma once

namespace corvane {

// Init, before any other thread exists: umask 077, secure bits, the parent's
// real user with its groups, first capability set. False when the process
// cannot take that identity (logged as Critical).
bool EstablishIdentity();
// After all plug-ins are open, on the main thread: unless the real user is
// root, keep only the second capability set. Never fails the caller.
void NarrowCapabilities();

} // namespace corvane
