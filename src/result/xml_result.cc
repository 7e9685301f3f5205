#include "result/xml_result.h"

#include <cstdio>

#include "common/text.h"
#include "platform/platform.h"
#include "inventory/modules.h"
#include "inventory/process_list.h"
#include "common/targets.h"

namespace kelvane {

namespace {

// The declaration every response starts with; the root start tag follows it
// on the same line.
constexpr char16_t kDeclaration[] = u"<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?>";

// Reported for a command file that cannot be read; fixed, not looked up.
constexpr char16_t kCommandFileError[] =
    u"\u547D\u4EE4\u6587\u4EF6\u9519\u8BEF,\u8BF7\u68C0\u67E5\u8F93\u5165\u7684Cmd\u6587\u4EF6\u4FE1\u606F!";

std::u16string FormatDateTime(const kelvane::platform::LocalTime& t) {
  char buffer[100];
  std::snprintf(buffer, sizeof buffer, "%d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return kelvane::Widen(buffer);
}

std::u16string_view TextOf(const char16_t* text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

// The attributes of the two listing elements, in the order written.
constexpr std::u16string_view kModuleAttributeNames[] = {u"name",     u"Publisher",      u"Path",
                                                         u"Descript", u"ProductVersion", u"ModifyTime"};
constexpr std::u16string_view kProcessAttributeNames[] = {
    u"name",           u"PID",         u"CommandLine", u"UserName", u"CpuUsage",  u"MemoryUsage", u"ProductVersion",
    u"FileVersion",    u"Descript",    u"Path",        u"Publisher", u"FileSize", u"Priority"};
constexpr size_t kModuleAttributeCount = sizeof kModuleAttributeNames / sizeof kModuleAttributeNames[0];
constexpr size_t kProcessAttributeCount = sizeof kProcessAttributeNames / sizeof kProcessAttributeNames[0];

const CXmlDoc::AttributeNames& ModuleAttributes() {
  static const CXmlDoc::AttributeNames names(kModuleAttributeNames, kModuleAttributeCount);
  return names;
}

const CXmlDoc::AttributeNames& ProcessAttributes() {
  static const CXmlDoc::AttributeNames names(kProcessAttributeNames, kProcessAttributeCount);
  return names;
}

// A decimal number written into storage of its own, for an attribute list.
class Decimal {
 public:
  explicit Decimal(int64_t value) : text_(kelvane::FormatDecimal(value)) {}
  std::u16string_view view() const { return text_; }

 private:
  std::u16string text_;
};

}  // namespace

CXmlResult::CXmlResult(const char16_t* resultFile) : m_szOutputPath{}, m_pathUsable(true) {
  std::u16string_view path = TextOf(resultFile);
  if (path.size() >= sizeof m_szOutputPath / sizeof m_szOutputPath[0]) {
    m_pathUsable = false;
    return;
  }
  kelvane::CopyToField(m_szOutputPath, path);
}

CXmlResult::~CXmlResult() = default;

void CXmlResult::BeginResponse(const char16_t* cmdName) {
  m_complete = true;
  std::u16string root(TextOf(cmdName));
  root += u"Response";
  m_skeleton = Check(LoadDeclaration() && m_doc.AddElement(root) &&
                     m_doc.AddElement(u"detail", CXmlDoc::ADD_CHILD) && m_doc.IntoElement());
}

void CXmlResult::EndResponse() { Check(m_doc.OutOfElement()); }

void CXmlResult::SetText(std::u16string_view name, std::u16string_view value) {
  Check(m_doc.SetAttribute(m_doc.ChildPosition(), name, value));
}

void CXmlResult::SetNumber(std::u16string_view name, int64_t value) {
  SetText(name, kelvane::FormatDecimal(value));
}

int CXmlResult::BuildTargetResponse(const char16_t* cmdName, const ProcTarget* first) {
  BeginResponse(cmdName);
  for (const ProcTarget* target = first; target != nullptr; target = target->pNext) {
    // An item that could not be added gets no attributes: they would land
    // on the item before it.
    if (!Check(m_doc.AddElement(u"ProcessItem", CXmlDoc::ADD_CHILD))) continue;
    SetText(u"PID", kelvane::FieldView(target->szPID));
    if (target->nPriority != 0) SetNumber(u"priority", target->nPriority);
    SetNumber(u"nResult", target->nResult);
    SetText(u"ErrMsg", kelvane::FieldView(target->szErrMsg));
  }
  EndResponse();
  return 1;
}

void CXmlResult::AddModuleItems(const ProcessRecord& record) {
  if (record.pModules == nullptr) return;
  if (!Check(m_doc.IntoElement())) return;
  PrefetchModuleFields(*record.pModules);
  for (const ModuleRecord* module = record.pModules; module != nullptr; module = module->pNext) {
    if (module->pNext != nullptr) PrefetchModuleFields(*module->pNext);
    const std::u16string_view values[kModuleAttributeCount] = {
        ModuleFieldView(*module, kModuleName),     ModuleFieldView(*module, kModulePublisher),
        ModuleFieldView(*module, kModulePath),     ModuleFieldView(*module, kModuleDescript),
        ModuleFieldView(*module, kModuleProductVersion), ModuleFieldView(*module, kModuleModifyTime),
    };
    bool all = false;
    Check(m_doc.AddChildWithAttributes(u"ModuleItem", ModuleAttributes(), values, &all) && all);
  }
  Check(m_doc.OutOfElement());
}

void CXmlResult::AddModuleProcessItem(const ProcessRecord& record) {
  // A process whose item could not be added keeps its modules out: they
  // would land under the item before it.
  if (!Check(m_doc.AddElement(u"ProcessItem", CXmlDoc::ADD_CHILD))) return;
  SetNumber(u"PID", static_cast<int32_t>(record.dwPID));
  AddModuleItems(record);
}

int32_t CXmlResult::AddProcessItem(const ProcessRecord& record) {
  const Decimal pid(static_cast<int32_t>(record.dwPID));
  const Decimal cpu(record.nCpuUsage);
  const Decimal memory(record.nMemoryUsage);
  const Decimal fileSize(record.nFileSize);
  const Decimal priority(static_cast<int32_t>(record.dwPriority));
  const std::u16string_view values[kProcessAttributeCount] = {
      kelvane::FieldView(record.szName),
      pid.view(),
      kelvane::FieldView(record.szCommandLine),
      kelvane::FieldView(record.szUserName),
      cpu.view(),
      memory.view(),
      kelvane::FieldView(record.szProductVersion),
      kelvane::FieldView(record.szFileVersion),
      kelvane::FieldView(record.szDescript),
      kelvane::FieldView(record.szPath),
      kelvane::FieldView(record.szPublisher),
      fileSize.view(),
      priority.view(),
  };
  // A process whose item could not be added keeps its modules out: they
  // would land under the item before it.
  bool all = false;
  if (!m_doc.AddChildWithAttributes(u"ProcessItem", ProcessAttributes(), values, &all)) {
    Check(false);
    return 0;
  }
  Check(all);
  const int32_t position = m_doc.ChildPosition();
  AddModuleItems(record);
  return position;
}

void CXmlResult::SetProcessCpuUsage(int32_t position, int32_t cpuUsage) {
  Check(position != 0 && m_doc.SetAttribute(position, u"CpuUsage", kelvane::FormatDecimal(cpuUsage)));
}

bool CXmlResult::WriteResult(const CmdRequest& request, const char16_t* summary,
                             int32_t resultCode) {
  if (!Check(m_doc.AddElement(u"Result", CXmlDoc::ADD_CHILD))) return Save();
  SetText(u"cmdName", kelvane::FieldView(request.szCmdName));
  SetText(u"DateTime", FormatDateTime(kelvane::platform::Current()->Now()));
  SetText(u"nResult", resultCode == 0 ? u"0" : u"1");
  SetText(u"ErrMsg", TextOf(summary));
  return Save();
}

bool CXmlResult::WriteErrorResponse() {
  m_complete = true;
  m_skeleton = Check(LoadDeclaration() && m_doc.AddElement(u"Response"));
  if (!Check(m_skeleton && m_doc.AddElement(u"Result", CXmlDoc::ADD_CHILD))) return Save();
  SetText(u"DateTime", FormatDateTime(kelvane::platform::Current()->Now()));
  SetText(u"nResult", u"1");
  SetText(u"ErrMsg", kCommandFileError);
  return Save();
}

bool CXmlResult::LoadDeclaration() {
  // The declaration alone holds no element, so the load itself reports
  // false; whether the text is in place tells that memory sufficed.
  m_doc.LoadText(kDeclaration);
  return m_doc.Text() == kDeclaration;
}

bool CXmlResult::Check(bool written) {
  if (!written) m_complete = false;
  return written;
}

bool CXmlResult::Save() {
  // A document whose declaration or root could not be written is no
  // response: the file at the path stays as it was.
  if (!m_pathUsable || !m_skeleton) return false;
  return m_doc.SaveFile(kelvane::FieldView(m_szOutputPath));
}

}  // namespace kelvane
