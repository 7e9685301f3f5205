// Writing the command file that the library reads, and reading the priority
// class a person names on the command line.
#ifndef KELVANECTL_REQUEST_H_
#define KELVANECTL_REQUEST_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvanectl {

struct RequestTarget {
  std::string pid;  // UTF-8, passed to the library as given
  bool has_priority = false;
  int32_t priority = 0;
};

// `text` as the value of a double-quoted XML attribute: the five markup
// characters become entity references, tab / line feed / carriage return
// become character references (so the parser does not fold them into
// spaces), and anything XML cannot carry at all (other control characters,
// malformed UTF-8) becomes U+FFFD so that the document stays well formed.
std::string EscapeAttribute(std::string_view text);

// The UTF-8 command file:
//   <?xml version="1.0" encoding="UTF-8"?>
//   <request name="COMMAND">
//   <procid PID="..." priority="..."/>   (one per target, in order)
//   </request>
std::string BuildRequestDocument(std::string_view command, const std::vector<RequestTarget>& targets);

// Reads a priority class: a name (idle, below-normal, normal, above-normal,
// high, realtime; case and '-' / '_' do not matter) or a decimal constant
// from 0 to 2147483647. Returns false for anything else.
bool ParsePriorityClass(std::string_view text, int32_t* value);

// The name of a priority class constant ("high" for 128), "-" for 0 and -1
// (no class), the decimal number for any other value.
std::string PriorityClassName(int64_t value);

}  // namespace kelvanectl

#endif  // KELVANECTL_REQUEST_H_
