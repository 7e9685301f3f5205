// The public header compiles as C++17 with warnings as errors, first in its
// translation unit.
#include "kelvane/plugin.h"

static_assert(sizeof(char16_t) == 2, "UTF-16 code units");
using KelvaneRemoteInvokeType = decltype(&ZEV_RemoteInvoke);
