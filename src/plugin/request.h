// The command file: a small XML document whose root carries the command
// name in attribute "name" and whose "procid" children name the target
// processes. Read with Xerces-C++ into a CmdRequest with a chain of
// ProcTarget entries.
#ifndef KELVANE_PLUGIN_REQUEST_H_
#define KELVANE_PLUGIN_REQUEST_H_

#include <cstdint>

// One target process, one per "procid" element, in document order.
// Created zeroed; owned by the CmdRequest it is chained to.
struct ProcTarget {
  char16_t szPID[10];      // the PID attribute exactly as written (at most 9 units)
  int32_t nPriority;       // the priority attribute as a number; -1 when absent
  int32_t nResult;         // outcome: 0 success, 1 failure (set by the control loop)
  char16_t szErrMsg[261];  // outcome message text
  ProcTarget* pNext;       // next target; null at the end
};

// The parsed request. Created zeroed by the dispatcher, filled by
// ReadRequest, released with FreeRequest.
struct CmdRequest {
  char16_t szCmdName[260];  // the trimmed command name
  ProcTarget* pTargets;     // first target; null when there is none
};

// Reads the command file at `requestFile` (a path or URI) into `request`,
// which must be zeroed. Returns 0 when the request is readable, -1
// otherwise; on -1 the targets read before the failure stay chained in
// `request` (the caller frees them with FreeRequest). Never throws.
int ReadRequest(const char16_t* requestFile, CmdRequest* request);

// Stores the number of "procid" children of the root in `count` and returns
// 0; returns -1 with `count` untouched when the file cannot be read.
int CountTargets(const char16_t* requestFile, uint32_t* count);

// Frees every target of `request` in chain order, then `request` itself
// (which must have been allocated with new). Null does nothing.
void FreeRequest(CmdRequest* request);

// Reads the trimmed command name into `name` (260 units). 0 on success, -1
// when the file cannot be read, has no "name" attribute, or the trimmed
// name does not fit.
int ReadCommandName(const char16_t* requestFile, char16_t (&name)[260]);

#endif  // KELVANE_PLUGIN_REQUEST_H_
