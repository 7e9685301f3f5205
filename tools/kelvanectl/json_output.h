// The --json output of kelvanectl: a response of the library as one JSON
// document for scripts. Keys are lower camel case and stable; every text
// goes through the JSON library's escaper, so any response (control
// characters, replaced invalid UTF-16) gives valid JSON.
//
//   list      {"command", "processes": [{pid, name, path, commandLine, user,
//              cpu, memory, priority: {class, value}, fileSize, publisher,
//              description, productVersion, fileVersion, modules: [...]}],
//              "result"}
//   modules   {"command", "processes": [{pid, modules: [{name, path,
//              publisher, description, productVersion, modifyTime}]}], "result"}
//   control   {"command", "targets": [{pid, priority, result: {code,
//              message}}], "result"}   (one entry per target)
//   result    {code: the library's result code, message, dateTime}
//
// Numbers are JSON numbers; a field the response lacks or that is not a
// number where one belongs is null. A control target's pid is a number when
// it was given as one and the text as given otherwise.
#ifndef KELVANECTL_JSON_OUTPUT_H_
#define KELVANECTL_JSON_OUTPUT_H_

#include <string>
#include <string_view>

#include "response.h"
#include "table.h"

namespace kelvanectl {

// The JSON document of a parsed response (UTF-8, indented, ending in a
// newline). `code` is the result code the library returned; the process
// list shows the records that `view` selects.
std::string FormatJson(const ResponseDocument& doc, int code, const ListView& view = ListView());

// The JSON document when there is no response to show (the library wrote
// none, or it could not be read): the command, the result code and a null
// message.
std::string FormatJsonWithoutResponse(std::string_view command, int code);

// {"name": "kelvanectl", "version": VERSION}
std::string FormatJsonVersion(std::string_view version);

}  // namespace kelvanectl

#endif  // KELVANECTL_JSON_OUTPUT_H_
