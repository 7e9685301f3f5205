/* kelvane — process-management plugin.
 *
 * A host loads the library (libkelvane.so / kelvane.dll) and calls
 * ZEV_RemoteInvoke with the path of a command file and the path of the file
 * that receives the UTF-16LE XML response. Calls must come one at a time.
 *
 * requestFile is the location of the command file (a path or a URI); its
 * text is XML in any encoding its declaration names. resultFile is the path
 * of the response file, created or replaced; nothing is written for a null
 * argument or an unknown command. Both strings are zero-terminated UTF-16,
 * read only during the call and never kept. A host that loads the library
 * at run time resolves ZEV_RemoteInvoke by its plain name (dlsym /
 * GetProcAddress); this header then serves only for its type, e.g.
 * decltype(&ZEV_RemoteInvoke).
 *
 * Result codes: 0 the command succeeded; 1 a control command failed for at
 * least one target; -1 anything else (null argument, unreadable command
 * file, unknown command, incomplete listing).
 *
 * The six typed entry points are part of the host framework's contract;
 * they do no work and return fixed values. They are exported under their
 * C++ decorated names, so they are declared for C++ hosts only. Strings are
 * zero-terminated UTF-16.
 *
 * The header serves C (C11 and later: char16_t comes from <uchar.h>) and C++
 * (C++11 and later) hosts alike.
 */
#ifndef KELVANE_PLUGIN_H_
#define KELVANE_PLUGIN_H_

#if defined(__GNUC__)
#define KELVANE_EXPORT __attribute__((visibility("default")))
#else
#define KELVANE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

KELVANE_EXPORT int ZEV_RemoteInvoke(const char16_t* requestFile, const char16_t* resultFile);

#ifdef __cplusplus
}

/* Callback type of the typed entry points (owned by the host framework). */
typedef unsigned int (*KelvaneHostCallback)(const char16_t*, unsigned long long, unsigned long long,
                                            void*, const char16_t*, unsigned int, int*);

KELVANE_EXPORT unsigned int ZEV_GetProcessList_KLV(void**, KelvaneHostCallback, unsigned int*, void*);
KELVANE_EXPORT unsigned int ZEV_GetProcessModule_KLV(void**, KelvaneHostCallback, unsigned int*, void*);
KELVANE_EXPORT unsigned int ZEV_StopProcess_KLV(void**, KelvaneHostCallback, unsigned int*, void*);
KELVANE_EXPORT unsigned int ZEV_StopProcessTree_KLV(void**, KelvaneHostCallback, unsigned int*, void*);
KELVANE_EXPORT unsigned int ZEV_SetProcessPriority_KLV(void**, KelvaneHostCallback, unsigned int*, void*);
KELVANE_EXPORT unsigned int ZEV_ReleaseProcess_KLV(void*);
#endif

#endif /* KELVANE_PLUGIN_H_ */
