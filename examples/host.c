/* A minimal C host of the kelvane plugin.
 *
 *   host LIBRARY WORKDIR
 *
 * Loads LIBRARY (libkelvane.so or kelvane.dll) at run time, writes a command
 * file into WORKDIR asking for the loaded modules of this very process,
 * calls ZEV_RemoteInvoke, reads the UTF-16LE response file and prints it
 * (characters outside ASCII as '?'). Exit status: 0 when the call returned 0
 * and the response is a well-begun UTF-16LE document, 1 otherwise.
 *
 * It touches no process but its own: asking for one's own modules changes
 * nothing. Build on Linux with
 *   cc -std=c11 -Wall $(pkg-config --cflags kelvane) host.c -o host -ldl
 */
#if defined(_WIN32)
#include <windows.h>
#define getpid() ((unsigned long)GetCurrentProcessId())
#define SEPARATOR "\\"
#else
#define SEPARATOR "/"
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelvane/plugin.h"

typedef int (*remote_invoke_fn)(const char16_t*, const char16_t*);

/* The ASCII path `path` as zero-terminated UTF-16 in `out` (room for
 * `room` units); 0 when it does not fit or is not ASCII. */
static int to_utf16(const char* path, char16_t* out, size_t room) {
  size_t i;
  for (i = 0; path[i] != '\0'; ++i) {
    if (i + 1 >= room || (unsigned char)path[i] > 0x7F) return 0;
    out[i] = (char16_t)path[i];
  }
  out[i] = 0;
  return 1;
}

static remote_invoke_fn load_entry_point(const char* library) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(library);
  if (module == NULL) return NULL;
  return (remote_invoke_fn)(void (*)(void))GetProcAddress(module, "ZEV_RemoteInvoke");
#else
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  void* symbol;
  remote_invoke_fn entry;
  if (handle == NULL) {
    fprintf(stderr, "host: %s\n", dlerror());
    return NULL;
  }
  symbol = dlsym(handle, "ZEV_RemoteInvoke");
  /* Object to function pointer through memcpy: ISO C has no such cast. */
  memcpy(&entry, &symbol, sizeof entry);
  return entry;
#endif
}

int main(int argc, char** argv) {
  char request_path[1024], result_path[1024];
  char16_t request16[1024], result16[1024];
  FILE* file;
  remote_invoke_fn invoke;
  int code, c0, c1, ok;
  long units = 0;

  if (argc != 3) {
    fprintf(stderr, "usage: host LIBRARY WORKDIR\n");
    return 1;
  }
  invoke = load_entry_point(argv[1]);
  if (invoke == NULL) {
    fprintf(stderr, "host: cannot load ZEV_RemoteInvoke from %s\n", argv[1]);
    return 1;
  }

  snprintf(request_path, sizeof request_path, "%s" SEPARATOR "request.xml", argv[2]);
  snprintf(result_path, sizeof result_path, "%s" SEPARATOR "response.xml", argv[2]);
  file = fopen(request_path, "wb");
  if (file == NULL) {
    perror(request_path);
    return 1;
  }
  fprintf(file, "<request name=\"ZEV_GetProcessModule_KLV\"><procid PID=\"%lu\"/></request>\n",
          (unsigned long)getpid());
  fclose(file);

  if (!to_utf16(request_path, request16, 1024) || !to_utf16(result_path, result16, 1024)) {
    fprintf(stderr, "host: WORKDIR must be an ASCII path\n");
    return 1;
  }
  code = invoke(request16, result16);
  printf("result code %d\n", code);

  file = fopen(result_path, "rb");
  if (file == NULL) {
    perror(result_path);
    return 1;
  }
  /* UTF-16LE after the byte-order mark FF FE. */
  c0 = fgetc(file);
  c1 = fgetc(file);
  ok = c0 == 0xFF && c1 == 0xFE;
  while (ok) {
    int lo = fgetc(file), hi = fgetc(file);
    if (lo == EOF || hi == EOF) break;
    ++units;
    if (hi == 0 && lo == '\r') continue; /* lines end in CR LF */
    putchar(hi == 0 && lo < 0x80 ? lo : '?');
  }
  fclose(file);
  printf("\n%ld UTF-16 units\n", units);
  if (!ok) fprintf(stderr, "host: the response has no UTF-16LE byte-order mark\n");
  return code == 0 && ok && units > 0 ? 0 : 1;
}
