// The command file: a small XML document whose root carries the command
// name in attribute "name" and whose "procid" children name the target
// processes. Read into a CmdRequest with a chain of ProcTarget entries
// (common/targets.h); how it is parsed is the reader's own business.
#ifndef KELVANE_PLUGIN_REQUEST_H_
#define KELVANE_PLUGIN_REQUEST_H_

#include <cstddef>
#include <cstdint>

#include "common/targets.h"

namespace kelvane {

// The most "procid" children a command file may have: more than the
// processes any machine runs at once, and few enough that a request, its
// targets and its per-target response stay within tens of megabytes in the
// 32-bit library. A command file with more is unreadable; its parse stops at
// the first target too many.
constexpr uint32_t kMaxRequestTargets = 65536;

// The most attributes one element of a command file may carry (a command
// file needs two). The XML library builds an element's attributes in time
// that grows with the square of their number; the bound keeps reading linear
// in the file whatever its shape. A command file with an element that has
// more is unreadable; the element is refused before it is built.
constexpr size_t kMaxAttributesPerElement = 64;

// The most nodes (elements, attributes, texts, comments, processing
// instructions, entity references) a command file may hold: eight per
// target at the target cap. A command file at the cap, each target with its
// PID, its priority and white space around it, holds four. Every node costs
// the XML library a few hundred bytes, so the bound keeps a request's memory
// proportional to what it can ask for. A command file with more is
// unreadable; its parse stops at the first node too many.
constexpr size_t kMaxRequestNodes = 8 * size_t{kMaxRequestTargets};

// The largest command file that may declare an internal DTD subset. Command
// files need no DTD; the XML library's work on declarations grows faster
// than their size (entity declarations with the square of their number), so
// a document with one is refused unless it is small.
constexpr size_t kMaxBytesWithInternalSubset = 64 * 1024;

// The most namespace declarations (xmlns and xmlns:p attributes) a command
// file may make. Command files need none; the XML library looks every
// prefixed name up through every declaration in scope, so thousands of them
// nested would make each element cost thousands of steps.
constexpr size_t kMaxNamespaceDeclarations = 64;

// Keeps the XML library initialised while it lives. The library counts
// initialisations, so the reads below, each of which still initialises and
// terminates it around itself, then only move that count instead of
// rebuilding and discarding the library's static data every time: a call
// that reads its command file several times holds one of these around the
// reads. When the library cannot be initialised, the scope terminates it at
// once and holds nothing (each read then fails on its own as before); in
// either case the library is terminated exactly once for the scope's
// initialisation. Never throws.
class XmlLibraryScope {
 public:
  XmlLibraryScope();
  ~XmlLibraryScope();
  XmlLibraryScope(const XmlLibraryScope&) = delete;
  XmlLibraryScope& operator=(const XmlLibraryScope&) = delete;

  // Whether the library is held initialised.
  bool held() const { return held_; }

 private:
  bool held_ = false;
};

// Every reader below takes a path or a file: URL of this machine (host empty
// or "localhost" in any case; "file:/p", "file:///p", "file://localhost/p",
// percent-encoded, absolute). Every other URL (another scheme, another host,
// a query or fragment, an escaped '/' or zero) is unreadable and refused
// without any I/O; the XML library never opens a location itself. The file
// must be a regular file of at most 16 MiB; anything else (FIFO, device,
// directory, a larger file) is unreadable and refused at once, without
// blocking. A name that starts with a URL scheme of two or more characters
// ("x:", "http:") is a URL, so a relative path whose first part holds a
// colon is written "./a:b". Children of the root are read along their
// sibling links and attributes are bounded per element, so a read costs
// time linear in the document.

// Reads the command file at `requestFile` (a path or URI) into `request`,
// which must be zeroed. Returns 0 when the request is readable, -1
// otherwise; on -1 the targets read before the failure stay chained in
// `request` (the caller frees them with FreeRequest). Texts that do not fit
// their fields (a trimmed name over 259 units, a PID over 9 units) make the
// request unreadable; nothing is ever cut. A priority text of any length is
// converted (see WideToLong). More than kMaxRequestTargets targets or
// kMaxRequestNodes nodes, an element with more than
// kMaxAttributesPerElement attributes (written or defaulted), more than
// kMaxNamespaceDeclarations namespace declarations, or an internal DTD
// subset in a file over kMaxBytesWithInternalSubset make the request
// unreadable. Never throws.
int ReadRequest(const char16_t* requestFile, CmdRequest* request);

// Stores the number of "procid" children of the root in `count` and returns
// 0; returns -1 with `count` untouched when the file cannot be read.
int CountTargets(const char16_t* requestFile, uint32_t* count);

// Reads the trimmed command name into `name` (260 units). 0 on success, -1
// when the file cannot be read, has no "name" attribute, or the trimmed
// name does not fit.
int ReadCommandName(const char16_t* requestFile, char16_t (&name)[260]);

// For tests: what the readers do, as they do it, so that a test can count
// the work of a read. Null (the default) for none.
class RequestReadObserver {
 public:
  virtual ~RequestReadObserver() = default;
  // ReadRequest or CountTargets stepped over `children` child nodes of the
  // root.
  virtual void ChildrenStepped(uint64_t children) = 0;
  // The parser is about to build an element that carries `attributes`
  // attributes (written or defaulted); one over the bound is refused
  // instead of built.
  virtual void ElementMet(size_t attributes) = 0;
};
void SetRequestReadObserverForTesting(RequestReadObserver* observer);

}  // namespace kelvane

#endif  // KELVANE_PLUGIN_REQUEST_H_
