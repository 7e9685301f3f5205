// The response document of one call: built in memory with CXmlDoc, then
// written once to the result file as UTF-16LE with a byte-order mark.
#ifndef KELVANE_RESULT_XML_RESULT_H_
#define KELVANE_RESULT_XML_RESULT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "markup/xml_doc.h"

namespace kelvane {

struct CmdRequest;
struct ProcTarget;
struct ProcessRecord;

class CXmlResult {
 public:
  // Binds the object to `resultFile` (copied; null gives an empty path). A
  // path longer than 259 units is not cut: the object then never writes a
  // file, so nothing lands at a truncated path.
  explicit CXmlResult(const char16_t* resultFile);
  virtual ~CXmlResult();
  CXmlResult(const CXmlResult&) = delete;
  CXmlResult& operator=(const CXmlResult&) = delete;

  // Response bodies. Each starts the document afresh and leaves the root as
  // the current element with "detail" as its current child, which is where
  // WriteResult adds "Result". An item the document cannot take (memory or
  // size exhausted) is left out whole, with its attributes and module items,
  // never written onto the item before it; Complete() then tells that the
  // body is not whole.

  // The per-target response of a control command, one item per target of
  // the chain (which stays the caller's). Returns 1.
  int BuildTargetResponse(const char16_t* cmdName, const ProcTarget* first);

  // The process list written one process at a time, as records are filled:
  // BeginProcessList, AddProcessItem for each record in order (the record
  // is not kept; its module chain is written too), EndProcessList.
  void BeginProcessList(const char16_t* cmdName) { BeginResponse(cmdName); }
  // Returns the element position of the record's item, 0 when the item
  // could not be added.
  int32_t AddProcessItem(const ProcessRecord& record);
  // Replaces the CPU usage figure of the item at `position` (from
  // AddProcessItem), as if its record had held `cpuUsage` when written.
  void SetProcessCpuUsage(int32_t position, int32_t cpuUsage);
  void EndProcessList() { EndResponse(); }

  // The module response written one process at a time, the same way:
  // BeginModuleList, AddModuleProcessItem for each record in order,
  // EndModuleList.
  void BeginModuleList(const char16_t* cmdName) { BeginResponse(cmdName); }
  void AddModuleProcessItem(const ProcessRecord& record);
  void EndModuleList() { EndResponse(); }
  // The length and room of the response text so far, in UTF-16 units, and a hint
  // that it will reach `units`: room is made at once (nothing else
  // changes; when no room can be made, the text grows as it is written).
  size_t ResponseTextLength() const { return m_doc.Text().size(); }
  size_t ResponseTextCapacity() const { return m_doc.Text().capacity(); }
  void ReserveResponseText(size_t units) { m_doc.ReserveText(units); }

  // Appends "Result" (command name, local time, "0" for code 0 and "1" for
  // any other code, the summary text) and saves the file. True when the file
  // was written.
  bool WriteResult(const CmdRequest& request, const char16_t* summary, int32_t resultCode);

  // Builds and saves the fixed response for an unreadable command file.
  bool WriteErrorResponse();

  // Whether everything written since the body was started went into the
  // document. False once an element or attribute could not be added.
  bool Complete() const { return m_complete; }

  // Largest response text accepted, so that a test can make the document
  // refuse items at a chosen point.
  void SetTextLimitForTesting(int64_t units) { m_doc.SetTextLimitForTesting(units); }

 private:
  // Declaration, root "<cmdName>Response", "detail", and into "detail".
  void BeginResponse(const char16_t* cmdName);
  // Back out of "detail" to the root.
  void EndResponse();
  void SetText(std::u16string_view name, std::u16string_view value);
  void SetNumber(std::u16string_view name, int64_t value);
  void AddModuleItems(const ProcessRecord& record);
  // Starts the document afresh with the declaration; false when memory did
  // not suffice.
  bool LoadDeclaration();
  // Records a write that failed; returns `written`.
  bool Check(bool written);
  bool Save();

  char16_t m_szOutputPath[260];
  bool m_pathUsable;
  bool m_complete = true;
  bool m_skeleton = false;  // declaration and root (and "detail") written
  CXmlDoc m_doc;
};

}  // namespace kelvane

#endif  // KELVANE_RESULT_XML_RESULT_H_
