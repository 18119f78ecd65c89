#include "core/process_identity.h"

#include <sys/stat.h>

// Placeholder until identity is built.
bool EstablishIdentity() {
  umask(077);
  return true;
}
void NarrowCapabilities() {}
