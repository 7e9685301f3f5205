#include "plugin/request.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLURL.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <atomic>
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
// Longest priority text taken as a number; anything longer is not a
// priority but hostile input.
constexpr size_t kMaxPriorityUnits = 259;
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

// Child nodes of the root the readers have stepped over (see
// RequestChildSteps).
std::atomic<uint64_t> g_childSteps{0};

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

}  // namespace

// Watches one parse: remembers whether the document had a fatal error (the
// builder hands back whatever it had built so far even then) and stops the
// parse as soon as one occurs or elements nest too deeply.
class ParseGuard final : public xml::DOMErrorHandler, public xml::DOMLSParserFilter {
 public:
  bool failed() const { return failed_; }

  bool handleError(const xml::DOMError& error) override {
    if (error.getSeverity() != xml::DOMError::DOM_SEVERITY_FATAL_ERROR) return true;
    failed_ = true;
    return false;
  }
  FilterAction startElement(xml::DOMElement*) override {
    if (++depth_ > kMaxElementDepth) {
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
};

namespace {

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

// A target is an element child of the root whose tag name is exactly
// "procid" (case-sensitive, no prefix).
bool IsTargetElement(const xml::DOMNode* node) {
  return node != nullptr && node->getNodeType() == xml::DOMNode::ELEMENT_NODE &&
         XmlEquals(node->getNodeName(), u"procid");
}

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
      if (priority.size() > kMaxPriorityUnits) {
        delete target;
        return -1;
      }
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
  g_childSteps += steps;
  return 0;
}

enum class RequestSource { kLoaded, kRemote, kRefused };

// Decodes the %XX escapes of a URL path; false for a malformed escape or an
// escaped zero.
bool UnescapeUrlPath(const XMLCh* path, std::u16string* out) {
  const auto hex = [](XMLCh c) -> int {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  };
  // Escaped bytes are UTF-8; the text between escapes is kept as it is.
  std::string utf8;
  std::u16string run;
  for (const XMLCh* p = path; *p != 0; ++p) {
    if (*p != u'%') {
      run.push_back(static_cast<char16_t>(*p));
      continue;
    }
    const int high = p[1] != 0 ? hex(p[1]) : -1;
    const int low = high >= 0 && p[2] != 0 ? hex(p[2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return false;
    utf8 += Utf16ToUtf8(run);
    run.clear();
    utf8 += static_cast<char>(high * 16 + low);
    p += 2;
  }
  utf8 += Utf16ToUtf8(run);
  *out = Utf8ToUtf16(utf8);
  return true;
}

// Where the command file named `systemId` comes from. The XML library takes
// a name it can parse as an absolute URL for a URL and anything else for a
// local path; local files (paths and file: URLs of this machine) are read
// here, as regular files of at most kMaxRequestBytes, so that a FIFO, a
// device or a directory is refused without blocking and an oversized file
// without being read. Other URLs are left to the library.
RequestSource LoadLocalRequest(const std::basic_string<XMLCh>& systemId, std::string* bytes) {
  std::u16string path(systemId.begin(), systemId.end());
  xml::XMLURL url;
  if (xml::XMLURL::parse(systemId.c_str(), url) && !url.isRelative()) {
    if (url.getProtocol() != xml::XMLURL::File) return RequestSource::kRemote;
    const XMLCh* host = url.getHost();
    if (host != nullptr && *host != 0 && !XmlEquals(host, u"localhost")) return RequestSource::kRemote;
    if (url.getPath() == nullptr || !UnescapeUrlPath(url.getPath(), &path)) return RequestSource::kRefused;
    // "file:///C:/dir/f" names "C:/dir/f" where paths start with a drive.
    if (platform::Current()->PathSeparator() == u'\\' && path.size() >= 3 && path[0] == u'/' &&
        path[2] == u':') {
      path.erase(0, 1);
    }
  }
  return platform::Current()->ReadRegularFile(path, kMaxRequestBytes, bytes) ? RequestSource::kLoaded
                                                                              : RequestSource::kRefused;
}

}  // namespace
}  // namespace kelvane

using kelvane::ReadScope;

uint64_t RequestChildSteps() { return kelvane::g_childSteps.load(); }

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

int OpenParser(ParserContext* context) {
  if (context == nullptr) return 0;
  kelvane::platform::Current()->SetParserLocale();
  try {
    XMLCh features[3];
    if (!xml::XMLString::transcode("LS", features, 2)) return 0;
    context->pImpl = xml::DOMImplementationRegistry::getDOMImplementation(features);
    auto* ls = dynamic_cast<xml::DOMImplementationLS*>(context->pImpl);
    if (ls == nullptr) return 0;
    context->pBuilder = ls->createLSParser(xml::DOMImplementationLS::MODE_SYNCHRONOUS, nullptr);
    if (context->pBuilder == nullptr) return 0;
    context->pGuard = new kelvane::ParseGuard();
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
    switch (kelvane::LoadLocalRequest(systemId, &bytes)) {
      case kelvane::RequestSource::kRefused:
        return 0;
      case kelvane::RequestSource::kLoaded: {
        // Parsed from memory under the file's own name, exactly as the file
        // would have been parsed.
        auto* source = new xml::MemBufInputSource(reinterpret_cast<const XMLByte*>(bytes.data()),
                                                  bytes.size(), systemId.c_str(), false);
        xml::Wrapper4InputSource input(source, true);
        context->pDoc = context->pBuilder->parse(&input);
        break;
      }
      case kelvane::RequestSource::kRemote:
        context->pDoc = context->pBuilder->parseURI(systemId.c_str());
        break;
    }
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

int ReadCommandName(const char16_t* requestFile, char16_t (&name)[260]) {
  if (requestFile == nullptr) return -1;
  try {
    ReadScope scope;
    const xml::DOMElement* root = scope.Parse(requestFile);
    std::u16string text;
    if (ReadAttribute(u"name", root, &text) == 0) return -1;
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
    kelvane::g_childSteps += steps;
    *count = found;
    return 0;
  } catch (...) {
    return -1;
  }
}

void FreeRequest(CmdRequest* request) {
  if (request == nullptr) return;
  ProcTarget* target = request->pTargets;
  while (target != nullptr) {
    ProcTarget* next = target->pNext;
    delete target;
    target = next;
  }
  delete request;
}
