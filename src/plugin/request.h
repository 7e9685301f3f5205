// The command file: a small XML document whose root carries the command
// name in attribute "name" and whose "procid" children name the target
// processes. Read with Xerces-C++ into a CmdRequest with a chain of
// ProcTarget entries.
#ifndef KELVANE_PLUGIN_REQUEST_H_
#define KELVANE_PLUGIN_REQUEST_H_

#include <xercesc/util/XercesDefs.hpp>

#include <cstdint>
#include <memory>
#include <string>

XERCES_CPP_NAMESPACE_BEGIN
class DOMImplementation;
class DOMLSParser;
class DOMDocument;
class DOMElement;
XERCES_CPP_NAMESPACE_END

namespace kelvane {
class ParseGuard;

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
}  // namespace kelvane

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

// Child nodes of the root stepped over by ReadRequest and CountTargets since
// the library was loaded (a count of work done, for tests of the cost of a
// read).
uint64_t RequestChildSteps();

// The work of the readers' parses on attributes since the library was
// loaded: every attribute the scanner handed to the builder, plus, for each
// element built, the comparisons its attribute map may make (k(k-1)/2 for k
// attributes). An element refused for too many attributes adds only its
// count. A count of work done, for tests of the cost of a read.
uint64_t RequestAttributeSteps();

// Frees every target of `request` in chain order, then `request` itself
// (which must have been allocated with new). Null does nothing.
void FreeRequest(CmdRequest* request);

namespace kelvane {

// Owns a request (and its targets) and frees it with FreeRequest.
struct RequestDeleter {
  void operator()(CmdRequest* request) const { FreeRequest(request); }
};
using RequestPtr = std::unique_ptr<CmdRequest, RequestDeleter>;

}  // namespace kelvane

// Reads the trimmed command name into `name` (260 units). 0 on success, -1
// when the file cannot be read, has no "name" attribute, or the trimmed
// name does not fit.
int ReadCommandName(const char16_t* requestFile, char16_t (&name)[260]);

// ---- The parser steps each of the readers above takes -------------------
//
// Every read initialises the XML library, opens a parser context, parses the
// file, reads what it needs and closes the context, which terminates the
// library: one initialisation and one termination on every path.

// What one read holds: the DOM implementation, the builder, the parsed
// document (owned by the builder), and the guard that watches the parse for
// fatal errors and excessive nesting (owned by the context).
struct ParserContext {
  XERCES_CPP_NAMESPACE::DOMImplementation* pImpl = nullptr;
  XERCES_CPP_NAMESPACE::DOMLSParser* pBuilder = nullptr;
  XERCES_CPP_NAMESPACE::DOMDocument* pDoc = nullptr;
  kelvane::ParseGuard* pGuard = nullptr;
};

// Creates the synchronous DOM builder in `context`. The builder refuses
// documents whose entity expansions exceed a small limit, never loads
// external DTDs or external entities, and stops at the first fatal error. 1 when ready; 0 otherwise (the library
// must already be initialised; close the context in either case).
int OpenParser(ParserContext* context);

// Parses the document at `requestFile` (a path or URI) and stores its root
// element in `root`. 1 on success; 0 with `root` null when the document
// cannot be read, is not well-formed (any fatal parse error, including an
// entity expansion beyond the limit), has no root, nests elements more
// than 256 levels deep, has more than kMaxRequestTargets targets or
// kMaxRequestNodes nodes, has an element with more than
// kMaxAttributesPerElement attributes (written or defaulted), makes more
// than kMaxNamespaceDeclarations namespace declarations, or declares an
// internal DTD subset in a file over kMaxBytesWithInternalSubset. The
// document belongs to the builder and goes with CloseParser.
int ParseRequestFile(ParserContext* context, const char16_t* requestFile,
                     XERCES_CPP_NAMESPACE::DOMElement** root);

// Copies the value of attribute `name` (at most 127 units) of `element`
// into `value`. 1 when found; 0 when the element is null or has no such
// attribute (`value` untouched).
int ReadAttribute(const char16_t* name, const XERCES_CPP_NAMESPACE::DOMElement* element,
                  std::u16string* value);

// Releases the builder and its document, if any, then terminates the XML
// library. Never throws.
void CloseParser(ParserContext* context);

#endif  // KELVANE_PLUGIN_REQUEST_H_
