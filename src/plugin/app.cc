// Placeholder: load-time set-up is filled in by the foundation work.
#include "platform/load_hook.h"

namespace kelvane {
void OnLibraryLoad(const void*) {}
}  // namespace kelvane
