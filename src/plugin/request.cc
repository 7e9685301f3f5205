#include "plugin/request.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/parsers/DOMLSParserImpl.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLDOMMsg.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <new>
#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/platform.h"

namespace xml = XERCES_CPP_NAMESPACE;

namespace kelvane {

namespace {

static_assert(sizeof(XMLCh) == sizeof(char16_t), "XMLCh must be a UTF-16 code unit");

constexpr size_t kNameUnits = 260;        // szCmdName, terminator included
constexpr size_t kPidUnits = 10;          // szPID, terminator included
constexpr size_t kAttributeNameUnits = 128;
// Deepest element nesting accepted. Command files are two levels deep;
// documents nested far deeper are refused as hostile (the builder's cost
// grows with the square of the depth).
constexpr int kMaxElementDepth = 256;
// Entity expansions allowed in one command file. Command files need none;
// the limit only stops documents built to explode in memory.
constexpr XMLSize_t kEntityExpansionLimit = 100;
// Largest command file read (16 MiB); a command file is a few hundred
// bytes, so anything near this is hostile.
constexpr size_t kMaxRequestBytes = 16u * 1024 * 1024;

// What a test hears of the readers' work (see RequestReadObserver).
RequestReadObserver* g_observer = nullptr;

class ParseGuard;

// What one read holds: the DOM implementation, the builder, the parsed
// document (owned by the builder), and the guard that watches the parse for
// fatal errors and excessive nesting (owned by the context).
struct ParserContext {
  xml::DOMImplementation* pImpl = nullptr;
  xml::DOMLSParser* pBuilder = nullptr;
  xml::DOMDocument* pDoc = nullptr;
  ParseGuard* pGuard = nullptr;
};

// ---- The parser steps each read takes ----------------------------------
//
// Every read initialises the XML library, opens a parser context, parses the
// file, reads what it needs and closes the context, which terminates the
// library: one initialisation and one termination on every path.

// Creates the synchronous DOM builder in `context`. The builder refuses
// documents whose entity expansions exceed a small limit, never loads
// external DTDs or external entities, stops at the first fatal error, and
// enforces the bounds of request.h before anything is built. 1 when ready;
// 0 otherwise (the library must already be initialised; close the context
// in either case).
int OpenParser(ParserContext* context);

// Parses the document at `requestFile` (a path or file: URL, see request.h)
// and stores its root element in `root`. 1 on success; 0 with `root` null
// when the document cannot be read, is not well-formed (any fatal parse
// error, including an entity expansion beyond the limit), has no root,
// nests elements more than 256 levels deep, or goes beyond a bound of
// request.h. The document belongs to the builder and goes with CloseParser.
int ParseRequestFile(ParserContext* context, const char16_t* requestFile, xml::DOMElement** root);

// Copies the value of attribute `name` (at most 127 units) of `element`
// into `value`. 1 when found; 0 when the element is null or has no such
// attribute (`value` untouched).
int ReadAttribute(const char16_t* name, const xml::DOMElement* element, std::u16string* value);

// Releases the builder and its document, if any, then terminates the XML
// library. Never throws.
void CloseParser(ParserContext* context);

std::u16string FromXml(const XMLCh* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

std::basic_string<XMLCh> ToXml(std::u16string_view text) {
  std::basic_string<XMLCh> out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(static_cast<XMLCh>(c));
  return out;
}

bool XmlEquals(const XMLCh* text, std::u16string_view expected) {
  if (text == nullptr) return false;
  size_t i = 0;
  for (; text[i] != 0; ++i) {
    if (i >= expected.size() || static_cast<char16_t>(text[i]) != expected[i]) return false;
  }
  return i == expected.size();
}

// A target is an element child of the root whose tag name is exactly
// "procid" (case-sensitive, no prefix).
bool IsTargetElement(const xml::DOMNode* node) {
  return node != nullptr && node->getNodeType() == xml::DOMNode::ELEMENT_NODE &&
         XmlEquals(node->getNodeName(), u"procid");
}

// Refuses every external resource (DTD subsets, external entities) the
// document names, so reading a command file never touches the network or
// any file but the command file itself.
class RefusingResolver final : public xml::DOMLSResourceResolver {
 public:
  xml::DOMLSInput* resolveResource(const XMLCh*, const XMLCh*, const XMLCh*, const XMLCh*,
                                   const XMLCh*) override {
    return nullptr;
  }
};

// Sets a builder parameter; false when the builder does not support it.
template <typename T>
bool SetParameter(xml::DOMConfiguration* config, const XMLCh* name, T value) {
  if (!config->canSetParameter(name, value)) return false;
  config->setParameter(name, value);
  return true;
}

// Watches one parse: remembers whether the document had a fatal error (the
// builder hands back whatever it had built so far even then) and stops the
// parse as soon as one occurs, elements nest too deeply, or the root has
// more target elements than a request may name.
class ParseGuard final : public xml::DOMErrorHandler, public xml::DOMLSParserFilter {
 public:
  bool failed() const { return failed_; }
  // Marks the document as refused (a bound the builder itself enforces).
  void Refuse() { failed_ = true; }
  // The size of the document about to be parsed, in bytes.
  void SetDocumentBytes(size_t bytes) { documentBytes_ = bytes; }
  size_t documentBytes() const { return documentBytes_; }

  bool handleError(const xml::DOMError& error) override {
    if (error.getSeverity() != xml::DOMError::DOM_SEVERITY_FATAL_ERROR) return true;
    failed_ = true;
    return false;
  }
  FilterAction startElement(xml::DOMElement* element) override {
    if (++depth_ > kMaxElementDepth) {
      failed_ = true;
      return FILTER_INTERRUPT;
    }
    // Counted as the elements arrive, so that the document is not built
    // any further once a target too many has been seen.
    if (depth_ == 2 && IsTargetElement(element) && ++targets_ > kMaxRequestTargets) {
      failed_ = true;
      return FILTER_INTERRUPT;
    }
    return FILTER_ACCEPT;
  }
  // Called at the end of every element (only elements are shown).
  FilterAction acceptNode(xml::DOMNode*) override {
    --depth_;
    return FILTER_ACCEPT;
  }
  xml::DOMNodeFilter::ShowType getWhatToShow() const override { return xml::DOMNodeFilter::SHOW_ELEMENT; }

 private:
  bool failed_ = false;
  int depth_ = 0;
  uint32_t targets_ = 0;
  size_t documentBytes_ = 0;
};

// The DOM builder with three bounds, checked before anything is built: the
// attributes of one element, the nodes of the whole document, and the size
// of a document that declares an internal DTD subset.
//
// The builder keeps each element's attributes in a sorted map and looks
// every new one up by namespace and local name along the whole map, so
// building an element costs the square of its attribute count; the scanner
// before it is linear (it checks duplicates through a hash table). With at
// most kMaxAttributesPerElement per element, those written and those a DTD
// adds as defaults together, the builder's work stays within a constant
// factor of the scanner's, whatever the document's shape.
//
// Every node costs the builder a few hundred bytes, so a file of tiny
// elements, texts or comments would hold far more memory than its targets
// need; kMaxRequestNodes bounds the document at what a command file at the
// target cap holds with room to spare.
//
// Declarations cost more than their size: entity declarations are kept in
// a map whose cost grows with the square of their number, content models
// take some 80 bytes per byte. Command files need no DTD; one with an
// internal subset is read only up to kMaxBytesWithInternalSubset, which
// keeps that work small. Likewise every prefixed name is looked up through
// every namespace declaration in scope, so their number is bounded too.
class BoundedBuilder final : public xml::DOMLSParserImpl {
 public:
  explicit BoundedBuilder(ParseGuard* guard) : guard_(guard) {}

  void doctypeDecl(const xml::DTDElementDecl& elemDecl, const XMLCh* const publicId, const XMLCh* const systemId,
                   const bool hasIntSubset, const bool hasExtSubset) override {
    // Called before the internal subset is scanned.
    if (hasIntSubset && guard_->documentBytes() > kMaxBytesWithInternalSubset) Refuse();
    xml::DOMLSParserImpl::doctypeDecl(elemDecl, publicId, systemId, hasIntSubset, hasExtSubset);
  }
  void startElement(const xml::XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                    const xml::RefVectorOf<xml::XMLAttr>& attrList, const XMLSize_t attrCount,
                    const bool isEmpty, const bool isRoot) override {
    // The count holds those written and those a DTD adds as defaults.
    if (g_observer != nullptr) g_observer->ElementMet(attrCount);
    if (attrCount > kMaxAttributesPerElement) Refuse();
    Count(1 + attrCount);
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xml::XMLAttr* attribute = attrList.elementAt(i);
      const bool declaration = XmlEquals(attribute->getPrefix(), u"xmlns") ||
                               ((attribute->getPrefix() == nullptr || *attribute->getPrefix() == 0) &&
                                XmlEquals(attribute->getName(), u"xmlns"));
      if (declaration && ++namespaceDeclarations_ > kMaxNamespaceDeclarations) Refuse();
    }
    xml::DOMLSParserImpl::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty, isRoot);
  }
  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override {
    Count(1);
    xml::DOMLSParserImpl::ignorableWhitespace(chars, length, cdataSection);
  }
  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override {
    Count(1);
    xml::DOMLSParserImpl::docCharacters(chars, length, cdataSection);
  }
  void docComment(const XMLCh* const comment) override {
    Count(1);
    xml::DOMLSParserImpl::docComment(comment);
  }
  void docPI(const XMLCh* const target, const XMLCh* const data) override {
    Count(1);
    xml::DOMLSParserImpl::docPI(target, data);
  }
  void startEntityReference(const xml::XMLEntityDecl& entDecl) override {
    Count(1);
    xml::DOMLSParserImpl::startEntityReference(entDecl);
  }

 private:
  // Counts `nodes` more (a text may arrive in several pieces; each counts).
  void Count(size_t nodes) {
    nodes_ += nodes;
    if (nodes_ > kMaxRequestNodes) Refuse();
  }
  // Stops the parse; the document is not used.
  [[noreturn]] void Refuse() {
    guard_->Refuse();
    throw xml::DOMLSException(xml::DOMLSException::PARSE_ERR, xml::XMLDOMMsg::LSParser_ParsingAborted,
                              getMemoryManager());
  }

  ParseGuard* guard_;
  size_t nodes_ = 0;
  size_t namespaceDeclarations_ = 0;
};

// Restricts the builder for untrusted input; every other setting keeps the
// builder's default. False when a restriction cannot be put in place (the
// builder is then not used).
bool RestrictBuilder(xml::DOMLSParser* builder, ParseGuard* guard) {
  // Both live in static storage: they outlast every builder that points to
  // them, allocate nothing from the XML library's memory manager (which is
  // gone between reads), and go when the library is unloaded.
  static xml::SecurityManager securityManager;
  static RefusingResolver refusingResolver;
  securityManager.setEntityExpansionLimit(kEntityExpansionLimit);
  xml::SecurityManager* security = &securityManager;
  RefusingResolver* resolver = &refusingResolver;
  xml::DOMConfiguration* config = builder->getDomConfig();
  if (!SetParameter(config, xml::XMLUni::fgXercesSecurityManager, static_cast<const void*>(security)) ||
      !SetParameter(config, xml::XMLUni::fgXercesLoadExternalDTD, false) ||
      !SetParameter(config, xml::XMLUni::fgXercesDisableDefaultEntityResolution, true) ||
      !SetParameter(config, xml::XMLUni::fgDOMResourceResolver, static_cast<const void*>(resolver)) ||
      !SetParameter(config, xml::XMLUni::fgDOMErrorHandler,
                    static_cast<const void*>(static_cast<xml::DOMErrorHandler*>(guard)))) {
    return false;
  }
  builder->setFilter(guard);
  return true;
}

// One read: initialises the XML library on construction; the destructor
// closes the context (builder, document, library) exactly once.
class ReadScope {
 public:
  ReadScope() {
    try {
      xml::XMLPlatformUtils::Initialize();
      initialized_ = true;
    } catch (...) {
      initialized_ = false;
    }
  }
  ~ReadScope() { CloseParser(&context_); }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

  // Initialises, opens and parses; the root element or null.
  xml::DOMElement* Parse(const char16_t* requestFile) {
    xml::DOMElement* root = nullptr;
    if (!initialized_ || OpenParser(&context_) == 0 || ParseRequestFile(&context_, requestFile, &root) == 0) {
      return nullptr;
    }
    return root;
  }

 private:
  bool initialized_ = false;
  ParserContext context_;
};

// Appends one target per "procid" child of `root` to `request`, in document
// order. -1 when the children cannot be listed or a target is unreadable;
// the targets appended so far stay chained.
int ReadTargets(const xml::DOMElement* root, CmdRequest* request) {
  ProcTarget* tail = nullptr;
  // Sibling links: each step costs the same however many children there are
  // (the node list's item(i) walks from the first child every time).
  uint64_t steps = 0;
  for (const xml::DOMNode* node = root->getFirstChild(); node != nullptr; node = node->getNextSibling()) {
    ++steps;
    if (!IsTargetElement(node)) continue;
    const auto* element = static_cast<const xml::DOMElement*>(node);
    std::u16string pid;
    if (ReadAttribute(u"PID", element, &pid) == 0) return -1;
    // The field holds 9 units; a longer id is refused, never cut.
    if (pid.size() > kPidUnits - 1) return -1;
    auto* target = new (std::nothrow) ProcTarget{};
    if (target == nullptr) return -1;
    CopyToField(target->szPID, pid);
    std::u16string priority;
    if (ReadAttribute(u"priority", element, &priority) != 0) {
      // Any length: the conversion reads it once, saturating on overflow.
      target->nPriority = WideToLong(priority);
    } else {
      target->nPriority = -1;
    }
    target->pNext = nullptr;
    if (tail == nullptr) {
      request->pTargets = target;
    } else {
      tail->pNext = target;
    }
    tail = target;
  }
  if (g_observer != nullptr) g_observer->ChildrenStepped(steps);
  return 0;
}

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Whether `text` is `lower` (lower-case ASCII) in any case.
bool EqualsAsciiNoCase(std::u16string_view text, std::u16string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i] >= u'A' && text[i] <= u'Z' ? static_cast<char16_t>(text[i] + 32) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Length of the URL scheme `name` starts with (a letter, then letters,
// digits, '+', '-' or '.', up to a ':'); 0 when it starts with none.
size_t SchemeLength(std::u16string_view name) {
  if (name.empty() || !IsAsciiLetter(name[0])) return 0;
  for (size_t i = 1; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c == u':') return i;
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != u'+' && c != u'-' && c != u'.') return 0;
  }
  return 0;
}

// Decodes the %XX escapes of a URL path (the escaped bytes are UTF-8; the
// text between escapes is kept as it is). False for a malformed escape, an
// escape that is not UTF-8, and an escaped zero or path separator ('/', and
// '\\' where it separates paths): such a name cannot be the file it seems
// to spell.
bool UnescapeUrlPath(std::u16string_view path, char16_t separator, std::u16string* out) {
  const auto hex = [](char16_t c) -> int {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  };
  std::u16string decoded;
  decoded.reserve(path.size());
  std::string bytes;  // a run of escaped bytes
  const auto flush = [&]() {
    if (bytes.empty()) return true;
    const std::u16string text = Utf8ToUtf16(bytes);
    if (Utf16ToUtf8(text) != bytes) return false;  // not UTF-8
    decoded += text;
    bytes.clear();
    return true;
  };
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != u'%') {
      if (!flush()) return false;
      decoded.push_back(path[i]);
      continue;
    }
    const int high = i + 1 < path.size() ? hex(path[i + 1]) : -1;
    const int low = high >= 0 && i + 2 < path.size() ? hex(path[i + 2]) : -1;
    if (low < 0) return false;
    const char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0' || byte == '/' || (separator == u'\\' && byte == '\\')) return false;
    bytes.push_back(byte);
    i += 2;
  }
  if (!flush()) return false;
  *out = std::move(decoded);
  return true;
}

// The local path of the command file named `name`, by one rule for every
// spelling. A name that does not start with a URL scheme is a path and is
// taken as it stands (a single letter before the colon is a drive, not a
// scheme). A file: URL (scheme in any case) names a file of this machine
// when its host is empty or "localhost" in any case: "file:/p",
// "file:///p", "file://localhost/p"; its path is percent-decoded and must be
// absolute ("/p", or "C:/p" where paths start with a drive, also spelled
// "/C:/p"). Refused, with false: every other scheme, every other host
// (with or without port or user), a query or fragment, a path that is not
// absolute or that starts with two separators (a network share), and a
// path UnescapeUrlPath refuses. Nothing here touches a file.
bool LocalRequestPath(std::u16string_view name, char16_t separator, std::u16string* path) {
  const size_t scheme = SchemeLength(name);
  if (scheme < 2) {
    *path = std::u16string(name);
    return true;
  }
  if (!EqualsAsciiNoCase(name.substr(0, scheme), u"file")) return false;
  std::u16string_view rest = name.substr(scheme + 1);
  if (rest.find_first_of(u"?#") != std::u16string_view::npos) return false;
  if (rest.substr(0, 2) == u"//") {
    const size_t slash = rest.find(u'/', 2);
    const std::u16string_view host = rest.substr(2, slash == std::u16string_view::npos ? rest.size() : slash - 2);
    if (!host.empty() && !EqualsAsciiNoCase(host, u"localhost")) return false;
    if (slash == std::u16string_view::npos) return false;
    rest = rest.substr(slash);
  }
  std::u16string decoded;
  if (!UnescapeUrlPath(rest, separator, &decoded)) return false;
  const bool drives = separator == u'\\';
  const auto isSeparator = [&](char16_t c) { return c == u'/' || c == separator; };
  const auto startsWithDrive = [&](std::u16string_view p) {
    return drives && p.size() >= 3 && IsAsciiLetter(p[0]) && p[1] == u':' && isSeparator(p[2]);
  };
  if (drives && decoded.size() >= 4 && decoded[0] == u'/' && startsWithDrive(std::u16string_view(decoded).substr(1))) {
    decoded.erase(0, 1);
  }
  if (startsWithDrive(decoded)) {
    *path = std::move(decoded);
    return true;
  }
  // "/C:dir" names a path relative to a drive's current directory.
  if (drives && decoded.size() >= 3 && decoded[0] == u'/' && IsAsciiLetter(decoded[1]) && decoded[2] == u':') {
    return false;
  }
  if (decoded.empty() || decoded[0] != u'/') return false;
  if (decoded.size() >= 2 && isSeparator(decoded[1])) return false;
  *path = std::move(decoded);
  return true;
}

// Reads the command file named `name` (see LocalRequestPath) into `bytes`:
// a regular file of at most kMaxRequestBytes, so that a FIFO, a device or a
// directory is refused without blocking and an oversized file without being
// read. The XML library never opens anything itself: it parses these bytes.
bool LoadRequest(std::u16string_view name, std::string* bytes) {
  platform::Platform* os = platform::Current();
  std::u16string path;
  if (!LocalRequestPath(name, os->PathSeparator(), &path)) return false;
  return os->ReadRegularFile(path, kMaxRequestBytes, bytes);
}

int OpenParser(ParserContext* context) {
  if (context == nullptr) return 0;
  kelvane::platform::Current()->SetParserLocale();
  try {
    XMLCh features[3];
    if (!xml::XMLString::transcode("LS", features, 2)) return 0;
    context->pImpl = xml::DOMImplementationRegistry::getDOMImplementation(features);
    if (dynamic_cast<xml::DOMImplementationLS*>(context->pImpl) == nullptr) return 0;
    context->pGuard = new kelvane::ParseGuard();
    // The synchronous builder the implementation would create (default
    // memory manager, no grammar pool), with the bounds above.
    context->pBuilder = new kelvane::BoundedBuilder(context->pGuard);
    return kelvane::RestrictBuilder(context->pBuilder, context->pGuard) ? 1 : 0;
  } catch (...) {
    // Whatever the XML library throws (its own exceptions, out of memory)
    // means the builder or the document is not to be had.
  }
  return 0;
}

int ParseRequestFile(ParserContext* context, const char16_t* requestFile, xml::DOMElement** root) {
  if (root == nullptr) return 0;
  *root = nullptr;
  if (context == nullptr || context->pBuilder == nullptr || requestFile == nullptr) return 0;
  try {
    const std::basic_string<XMLCh> systemId = kelvane::ToXml(requestFile);
    std::string bytes;
    if (!kelvane::LoadRequest(requestFile, &bytes)) return 0;
    context->pGuard->SetDocumentBytes(bytes.size());
    // Parsed from memory under the file's own name, exactly as the file
    // would have been parsed.
    auto* source = new xml::MemBufInputSource(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(),
                                              systemId.c_str(), false);
    xml::Wrapper4InputSource input(source, true);
    context->pDoc = context->pBuilder->parse(&input);
    if (context->pDoc == nullptr || context->pGuard == nullptr || context->pGuard->failed()) return 0;
    *root = context->pDoc->getDocumentElement();
    return *root != nullptr ? 1 : 0;
  } catch (...) {
    // Whatever the XML library throws (its own exceptions, out of memory)
    // means the builder or the document is not to be had.
  }
  *root = nullptr;
  return 0;
}

int ReadAttribute(const char16_t* name, const xml::DOMElement* element, std::u16string* value) {
  if (name == nullptr || element == nullptr || value == nullptr) return 0;
  try {
    XMLCh attributeName[kelvane::kAttributeNameUnits] = {};
    for (size_t i = 0; i + 1 < kelvane::kAttributeNameUnits && name[i] != 0; ++i) {
      attributeName[i] = static_cast<XMLCh>(name[i]);
    }
    const xml::DOMNamedNodeMap* attributes = element->getAttributes();
    if (attributes == nullptr) return 0;
    const xml::DOMNode* attribute = attributes->getNamedItem(attributeName);
    if (attribute == nullptr) return 0;
    *value = kelvane::FromXml(attribute->getNodeValue());
    return 1;
  } catch (...) {
    return 0;
  }
}

void CloseParser(ParserContext* context) {
  if (context != nullptr) {
    if (context->pBuilder != nullptr) {
      try {
        context->pBuilder->release();
      } catch (...) {
      }
    }
    delete context->pGuard;
    context->pGuard = nullptr;
    context->pBuilder = nullptr;
    context->pDoc = nullptr;
    context->pImpl = nullptr;
  }
  try {
    xml::XMLPlatformUtils::Terminate();
  } catch (...) {
  }
}

}  // namespace

void SetRequestReadObserverForTesting(RequestReadObserver* observer) { g_observer = observer; }

using kelvane::ReadScope;

kelvane::XmlLibraryScope::XmlLibraryScope() {
  try {
    xml::XMLPlatformUtils::Initialize();
    held_ = true;
  } catch (...) {
    // The library counts the attempt; undo it so that later reads start
    // from an uninitialised library rather than a half-built one.
    try {
      xml::XMLPlatformUtils::Terminate();
    } catch (...) {
    }
  }
}

kelvane::XmlLibraryScope::~XmlLibraryScope() {
  if (!held_) return;
  try {
    xml::XMLPlatformUtils::Terminate();
  } catch (...) {
  }
}

int ReadCommandName(const char16_t* requestFile, char16_t (&name)[260]) {
  if (requestFile == nullptr) return -1;
  try {
    ReadScope scope;
    const xml::DOMElement* root = scope.Parse(requestFile);
    std::u16string text;
    if (kelvane::ReadAttribute(u"name", root, &text) == 0) return -1;
    const std::u16string_view trimmed = kelvane::TrimSpaces(text);
    // The field holds 259 units; a longer name is refused, never cut.
    if (trimmed.size() > kelvane::kNameUnits - 1) return -1;
    kelvane::CopyToField(name, trimmed);
    return 0;
  } catch (...) {
    return -1;
  }
}

int ReadRequest(const char16_t* requestFile, CmdRequest* request) {
  if (requestFile == nullptr || request == nullptr) return -1;
  char16_t name[kelvane::kNameUnits] = {};
  if (ReadCommandName(requestFile, name) != 0) return -1;
  const std::u16string_view command = kelvane::FieldView(name);
  const size_t underscore = command.rfind(u'_');
  if (underscore == std::u16string_view::npos) return -1;
  if (command.substr(underscore, 4) != u"_KLV") return -1;
  kelvane::CopyToField(request->szCmdName, command);
  request->pTargets = nullptr;
  try {
    ReadScope scope;
    const xml::DOMElement* root = scope.Parse(requestFile);
    if (root == nullptr) return -1;
    return kelvane::ReadTargets(root, request);
  } catch (...) {
    return -1;
  }
}

int CountTargets(const char16_t* requestFile, uint32_t* count) {
  if (requestFile == nullptr || count == nullptr) return -1;
  try {
    ReadScope scope;
    const xml::DOMElement* root = scope.Parse(requestFile);
    if (root == nullptr) return -1;
    uint32_t found = 0;
    uint64_t steps = 0;
    for (const xml::DOMNode* node = root->getFirstChild(); node != nullptr; node = node->getNextSibling()) {
      ++steps;
      if (kelvane::IsTargetElement(node)) ++found;
    }
    if (kelvane::g_observer != nullptr) kelvane::g_observer->ChildrenStepped(steps);
    *count = found;
    return 0;
  } catch (...) {
    return -1;
  }
}

}  // namespace kelvane
