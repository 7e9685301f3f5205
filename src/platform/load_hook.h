// Called by the platform backend exactly once when the library is loaded
// into a process (Linux: a load-time constructor; Windows: DllMain on
// process attach). Implemented by the plugin subsystem.
#ifndef KELVANE_PLATFORM_LOAD_HOOK_H_
#define KELVANE_PLATFORM_LOAD_HOOK_H_

namespace kelvane {

// `moduleToken` identifies the library's own module: an address inside the
// library on Linux, the module handle on Windows. Pass it back to
// Platform::LibraryFilePath to learn where the library file lives.
void OnLibraryLoad(const void* moduleToken);

}  // namespace kelvane

#endif  // KELVANE_PLATFORM_LOAD_HOOK_H_
