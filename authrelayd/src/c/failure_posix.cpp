#include "failure.h"

namespace authrelay {

// POSIX faults arrive as signals, which are not turned into exceptions.
void InstallExceptionTranslator() {}

} // namespace authrelay
