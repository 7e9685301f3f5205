#include "plugin/app.h"

#include "platform/load_hook.h"
#include "plugin/message_table.h"

namespace kelvane {

bool CKelvaneApp::InitInstance(const void* module) {
  InitMessageTable(module);
  return true;
}

CKelvaneApp& TheApp() {
  static CKelvaneApp app;
  return app;
}

// Load-time order: the section name, then the application object, then its
// initialisation hook. The other module-wide state (the CPU sample table)
// lives in static storage of its own subsystem and needs no step here.
void OnLibraryLoad(const void* moduleToken) {
  InitSectionName();
  TheApp().InitInstance(moduleToken);
}

}  // namespace kelvane
