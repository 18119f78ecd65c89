#pragma once

// Init: umask 077, secure bits, the parent's user with its groups, first
// capability set. False when the process cannot take that identity.
bool EstablishIdentity();
// After all plug-ins are open: unless running as root, keep only the second
// capability set.
void NarrowCapabilities();
