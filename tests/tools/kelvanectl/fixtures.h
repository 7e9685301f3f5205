// Response documents used by the kelvanectl tests and by the fake library,
// as UTF-8 text with the CRLF line ends the library writes. The stop and
// module examples are the documented example responses.
#ifndef KELVANE_TESTS_TOOL_FIXTURES_H_
#define KELVANE_TESTS_TOOL_FIXTURES_H_

namespace kelvane_tool_fixtures {

inline constexpr const char kStopExample[] =
    "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_StopProcess_KLVResponse>\r\n"
    "<detail>\r\n"
    "<ProcessItem PID=\"1234\" priority=\"-1\" nResult=\"0\" ErrMsg=\"TerminateProcSuccessed\"/>\r\n"
    "<ProcessItem PID=\"5678\" priority=\"-1\" nResult=\"1\" ErrMsg=\"TerminateProcFailed\"/>\r\n"
    "</detail>\r\n"
    "<Result cmdName=\"ZEV_StopProcess_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"1\" "
    "ErrMsg=\"TerminateProcFailed\"/>\r\n"
    "</ZEV_StopProcess_KLVResponse>\r\n";

inline constexpr const char kModuleExample[] =
    "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessModule_KLVResponse>\r\n"
    "<detail>\r\n"
    "<ProcessItem PID=\"1234\">\r\n"
    "<ModuleItem name=\"tool.exe\" Publisher=\"Example Ltd\" Path=\"C:\\Tools\\tool.exe\" "
    "Descript=\"Example tool\" ProductVersion=\"1.0.0.1\" ModifyTime=\"2009-07-20 10:15:00\"/>\r\n"
    "<ModuleItem name=\"util.dll\" Publisher=\"\" Path=\"C:\\Tools\\util.dll\" Descript=\"\" "
    "ProductVersion=\"\" ModifyTime=\"2009-06-30 08:00:12\"/>\r\n"
    "</ProcessItem>\r\n"
    "</detail>\r\n"
    "<Result cmdName=\"ZEV_GetProcessModule_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"0\" "
    "ErrMsg=\"GetSuccessed\"/>\r\n"
    "</ZEV_GetProcessModule_KLVResponse>\r\n";

inline constexpr const char kErrorExample[] =
    "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><Response>\r\n"
    "<Result DateTime=\"2009-07-27 14:05:09\" nResult=\"1\" "
    "ErrMsg=\"命令文件错误,请检查输入的Cmd文件信息!\"/>\r\n"
    "</Response>\r\n";

// Three processes: the idle record, one with a wide-character name, an
// escaped command line and a long argument list, and one without modules.
inline constexpr const char kProcessList[] =
    "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessList_KLVResponse>\r\n"
    "<detail>\r\n"
    "<ProcessItem name=\"System Idle Process\" PID=\"0\" CommandLine=\"&lt;unknown&gt;\" UserName=\"\" "
    "CpuUsage=\"91\" MemoryUsage=\"0\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"\" "
    "Publisher=\"\" FileSize=\"0\" Priority=\"0\"/>\r\n"
    "<ProcessItem name=\"服务器\" PID=\"1234\" CommandLine=\"/usr/bin/服务器 --config=/etc/a&amp;b.conf "
    "--verbose --threads=16 --log-file=/var/log/server/very/long/path/to/the/log/file.log\" "
    "UserName=\"root\" CpuUsage=\"3\" MemoryUsage=\"12897484\" ProductVersion=\"\" FileVersion=\"\" "
    "Descript=\"\" Path=\"/usr/bin/服务器\" Publisher=\"\" FileSize=\"12345\" Priority=\"128\">\r\n"
    "<ModuleItem name=\"libc.so.6\" Publisher=\"\" Path=\"/usr/lib/x86_64-linux-gnu/libc.so.6\" "
    "Descript=\"\" ProductVersion=\"\" ModifyTime=\"2024-01-02 03:04:05\"/>\r\n"
    "</ProcessItem>\r\n"
    "<ProcessItem name=\"sleep\" PID=\"77\" CommandLine=\"sleep 100\" UserName=\"nobody\" CpuUsage=\"0\" "
    "MemoryUsage=\"524288\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"/usr/bin/sleep\" "
    "Publisher=\"\" FileSize=\"0\" Priority=\"64\"/>\r\n"
    "</detail>\r\n"
    "<Result cmdName=\"ZEV_GetProcessList_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"0\" "
    "ErrMsg=\"GetSuccessed\"/>\r\n"
    "</ZEV_GetProcessList_KLVResponse>\r\n";

}  // namespace kelvane_tool_fixtures

#endif  // KELVANE_TESTS_TOOL_FIXTURES_H_
