// Byte layouts of the native structures that the backend reads raw: the
// basic information of a process, its environment block and process
// parameters (read from another process's memory), and the entries of the
// system's process information. The layouts are those of a reader and a
// target of this build's word size; a 32-bit build reads 32-bit processes,
// a 64-bit build 64-bit ones.
#ifndef KELVANE_PLATFORM_WIN32_NT_LAYOUT_H_
#define KELVANE_PLATFORM_WIN32_NT_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvane {
namespace platform {
namespace nt {

struct Layout {
  // PROCESS_BASIC_INFORMATION (information class 0).
  size_t basicInfoSize;
  size_t basicPebAddress;   // PebBaseAddress
  size_t basicParentId;     // InheritedFromUniqueProcessId
  // Process environment block: the prefix read, and the parameters pointer.
  size_t pebReadSize;
  size_t pebParameters;
  // RTL_USER_PROCESS_PARAMETERS: the prefix read, and the command line's
  // counted string (length in bytes, then the buffer pointer).
  size_t parametersReadSize;
  size_t commandLineLength;
  size_t commandLineBuffer;
  // SYSTEM_PROCESS_INFORMATION (information class 5).
  size_t processNextEntry;
  size_t processUserTime;
  size_t processKernelTime;
  size_t processId;
  size_t processEntryMinimum;  // bytes an entry needs for the fields above
};

constexpr Layout kLayout32 = {24, 4, 20, 28, 16, 144, 64, 68, 0, 40, 48, 68, 72};
constexpr Layout kLayout64 = {48, 8, 40, 40, 32, 136, 112, 120, 0, 40, 48, 80, 88};

inline constexpr const Layout& kLayout = sizeof(void*) == 8 ? kLayout64 : kLayout32;

// The 64-bit loader's structures, read from a 64-bit process whatever this
// build's word size: the environment block's loader data pointer, the head
// of the load-order module list in the loader data, and in each list entry
// the next link, the full path and the base name (counted strings: length
// in bytes at +0, maximum length in bytes at +2, buffer address at +8).
struct Loader64 {
  static constexpr size_t pebLoaderData = 0x18;
  static constexpr size_t loaderLoadOrderList = 0x10;
  static constexpr size_t entryNext = 0x00;
  static constexpr size_t entryFullName = 0x48;
  static constexpr size_t entryBaseName = 0x58;
  static constexpr size_t entryReadSize = 0x68;
  static constexpr size_t stringLength = 0;
  static constexpr size_t stringMaximum = 2;
  static constexpr size_t stringBuffer = 8;
};

// The T at `offset` of `bytes`, read without any alignment assumption.
template <typename T>
T Read(const unsigned char* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

// A pointer-sized field (an address or an id) at `offset` of `bytes`.
inline uint64_t ReadWord(const unsigned char* bytes, size_t offset) {
  return sizeof(void*) == 8 ? Read<uint64_t>(bytes, offset) : Read<uint32_t>(bytes, offset);
}

}  // namespace nt
}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_WIN32_NT_LAYOUT_H_
