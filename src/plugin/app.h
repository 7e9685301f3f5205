// The library's application object and its load-time set-up.
#ifndef KELVANE_PLUGIN_APP_H_
#define KELVANE_PLUGIN_APP_H_

namespace kelvane {

// The library's single application object. Its initialisation hook runs
// once when the library is loaded into a process.
class CKelvaneApp {
 public:
  // Runs the framework's own initialisation (none outside Windows), then
  // sets up the message table for the library identified by `module` (see
  // platform/load_hook.h). Always succeeds; running it again changes
  // nothing.
  bool InitInstance(const void* module);
};

// The application object; constructed on first use, which is the load-time
// set-up (so it exists before anything else of the library runs).
CKelvaneApp& TheApp();

}  // namespace kelvane

#endif  // KELVANE_PLUGIN_APP_H_
