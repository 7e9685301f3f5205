#include "support/strict_xml.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

namespace kelvane {
namespace testing {
namespace {

namespace xml = XERCES_CPP_NAMESPACE;

// Records the first error or fatal error of a parse.
class Strict final : public xml::HandlerBase {
 public:
  void error(const xml::SAXParseException& e) override { Note(e); }
  void fatalError(const xml::SAXParseException& e) override { Note(e); }
  bool failed = false;
  std::string message;

 private:
  void Note(const xml::SAXParseException& e) {
    if (failed) return;
    failed = true;
    char* text = xml::XMLString::transcode(e.getMessage());
    message = "line " + std::to_string(e.getLineNumber()) + " column " + std::to_string(e.getColumnNumber()) +
              ": " + (text != nullptr ? text : "?");
    xml::XMLString::release(&text);
  }
};

}  // namespace

bool ParsesStrictly(const std::string& bytes, std::string* why) {
  Strict handler;
  // The library counts initialisations: this one is undone below, whatever
  // the caller holds.
  try {
    xml::XMLPlatformUtils::Initialize();
  } catch (...) {
    if (why != nullptr) *why = "the XML library cannot be initialised";
    return false;
  }
  try {
    xml::SAXParser parser;
    parser.setValidationScheme(xml::SAXParser::Val_Never);
    parser.setDoNamespaces(false);
    parser.setLoadExternalDTD(false);
    parser.setDisableDefaultEntityResolution(true);
    parser.setErrorHandler(&handler);
    xml::MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), "response");
    parser.parse(source);
  } catch (...) {
    if (!handler.failed) {
      handler.failed = true;
      handler.message = "parser threw";
    }
  }
  xml::XMLPlatformUtils::Terminate();
  if (handler.failed && why != nullptr) *why = handler.message;
  return !handler.failed;
}

}  // namespace testing
}  // namespace kelvane
