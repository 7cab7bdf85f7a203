#include "failure.h"

namespace authrelay {

// GCC's exception model cannot throw out of a structured exception handler
// (there is no _set_se_translator), so structured exceptions stay fatal in
// this build and are reported by the system's own fault handling.
void InstallExceptionTranslator() {}

} // namespace authrelay
