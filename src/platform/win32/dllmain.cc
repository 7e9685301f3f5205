// The library's entry routine: runs the load-time set-up with the
// library's own module handle when the library is attached to a process.
#include "platform/load_hook.h"
#include "platform/win32/win32_platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(module);
    kelvane::OnLibraryLoad(module);
  }
  return TRUE;
}
