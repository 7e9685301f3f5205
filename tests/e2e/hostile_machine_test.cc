// The library on a machine whose users are hostile: processes with control
// characters, invalid UTF-8 and non-characters in their command lines,
// images with the longest names, parentheses and line breaks, deleted
// images with a link planted where the old image was, and result and
// command paths that are links or FIFOs. Every response must be well-formed
// XML to a strict parser, keep one element per line, and no planted file
// may be followed. Runs in a PID namespace of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "common/text.h"
#include "e2e/library_harness.h"
#include "support/strict_xml.h"

namespace kelvane {
namespace testing {
namespace {

namespace xml = XERCES_CPP_NAMESPACE;
namespace fs = std::filesystem;

// Whether the response file bytes are a well-formed XML document (no DTD
// loaded, no validation: well-formedness only), with the reason if not.
::testing::AssertionResult WellFormed(const std::string& bytes) {
  if (bytes.empty()) return ::testing::AssertionFailure() << "no response";
  xml::XMLPlatformUtils::Initialize();
  std::string why;
  const bool wellFormed = ParsesStrictly(bytes, &why);
  xml::XMLPlatformUtils::Terminate();
  if (!wellFormed) return ::testing::AssertionFailure() << why;
  return ::testing::AssertionSuccess();
}

// One element per line: CR only before LF, LF only after CR, every line a
// run of markup from '<' to '>'.
::testing::AssertionResult OneElementPerLine(const std::string& text) {
  size_t start = 0;
  int line = 1;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string row = text.substr(start, end - start);
    if (row.find_first_of("\r\n") != std::string::npos || row.empty() || row.front() != '<' ||
        row.back() != '>') {
      return ::testing::AssertionFailure() << "line " << line << ": " << row;
    }
    start = end + 2;
    ++line;
  }
  return ::testing::AssertionSuccess();
}

// The start tag of the ProcessItem whose PID attribute is `pid`.
std::string ItemFor(const std::string& text, pid_t pid) {
  std::regex item("<ProcessItem [^>]*PID=\"" + std::to_string(pid) + "\"[^>]*>");
  std::smatch match;
  return std::regex_search(text, match, item) ? match.str() : std::string();
}

// Starts `program` with `argv0` as its first argument and "1000" as its
// second (the program is a copy of sleep), and returns once it sleeps.
pid_t StartAs(const std::string& program, const std::string& argv0) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl(program.c_str(), argv0.c_str(), "1000", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 1000 && pid > 0 && !InSleepCall(pid); ++i) usleep(10 * 1000);
  return pid;
}

std::string SleepBinary() { return fs::canonical("/bin/sleep").string(); }

std::string ListRequest() { return "<r name=\"ZEV_GetProcessList_KLV\"/>"; }

class HostileMachine : public LibraryTest {
 protected:
  // Runs the process list and checks the response in every strict way.
  LoadedLibrary::Outcome CheckedList() {
    auto outcome = library_.Run(ListRequest());
    EXPECT_EQ(0, outcome.code);
    EXPECT_TRUE(outcome.written);
    EXPECT_TRUE(WellFormed(outcome.bytes));
    EXPECT_TRUE(OneElementPerLine(outcome.text));
    return outcome;
  }
  // Runs the module list of `pid` and checks the response the same way.
  LoadedLibrary::Outcome CheckedModules(pid_t pid) {
    auto outcome = library_.Run(MakeRequest("ZEV_GetProcessModule_KLV", {std::to_string(pid)}));
    EXPECT_TRUE(outcome.written);
    EXPECT_TRUE(WellFormed(outcome.bytes));
    EXPECT_TRUE(OneElementPerLine(outcome.text));
    return outcome;
  }
  TempDir scratch_;
};

TEST_F(HostileMachine, CommandLinesWithControlsBadUtf8AndNonCharacters) {
  const std::vector<std::string> names = {
      std::string("\x1b[31mred\x07\x01\x7f\t\n\r end"),
      std::string("bad \xC3\x28 \xFF\xFE \xED\xA0\x80 \xF4\x90\x80\x80 cut \xE2\x82"),
      std::string("non \xEF\xBF\xBE \xEF\xBF\xBF chars"),
      std::string("quotes \" ' < > & &amp; ]]>"),
  };
  std::vector<pid_t> pids;
  for (const std::string& name : names) pids.push_back(StartAs(SleepBinary(), name));
  auto outcome = CheckedList();
  for (size_t i = 0; i < pids.size(); ++i) {
    const std::string item = ItemFor(outcome.text, pids[i]);
    EXPECT_FALSE(item.empty()) << i;
  }
  // What the controls became: U+FFFD, and character references for the
  // white space an attribute value would otherwise lose.
  const std::string first = ItemFor(outcome.text, pids[0]);
  EXPECT_NE(std::string::npos, first.find("CommandLine=\"\xEF\xBF\xBD[31mred\xEF\xBF\xBD\xEF\xBF\xBD\x7f&#9;&#10;&#13; end 1000\""))
      << first;
  EXPECT_NE(std::string::npos, ItemFor(outcome.text, pids[2]).find("non \xEF\xBF\xBD \xEF\xBF\xBD chars"));
  EXPECT_NE(std::string::npos,
            ItemFor(outcome.text, pids[3]).find("quotes &quot; &apos; &lt; &gt; &amp; &amp;amp; ]]&gt; 1000"));
  for (pid_t pid : pids) {
    CheckedModules(pid);
    KillAndReap(pid);
  }
}

TEST_F(HostileMachine, ImageNamesOfTheLongestLengthWithParenthesesAndLineBreaks) {
  const std::vector<std::string> names = {
      std::string(255, 'n'),
      "a) (b) 1 2 3 (",
      "line\nbreak\r) x",
      std::string("\x1b") + ")" + std::string(240, ')'),
      "\xC3\x28\xEF\xBF\xBE" + std::string(200, '('),
  };
  std::vector<pid_t> pids;
  for (const std::string& name : names) {
    const std::string copy = scratch_.path() + "/" + name;
    fs::copy_file(SleepBinary(), copy);
    ASSERT_EQ(0, chmod(copy.c_str(), 0755));
    pids.push_back(StartAs(copy, name));
  }
  auto outcome = CheckedList();
  for (size_t i = 0; i < pids.size(); ++i) {
    const std::string item = ItemFor(outcome.text, pids[i]);
    EXPECT_FALSE(item.empty()) << i;
    // (A name that is not UTF-8 cannot be reached by the name reported, so
    // only the others are sure to be sized.)
    if (i < 4) {
      EXPECT_TRUE(std::regex_search(item, std::regex("FileSize=\"[1-9][0-9]*\""))) << item;
    }
  }
  EXPECT_NE(std::string::npos, ItemFor(outcome.text, pids[0]).find("name=\"" + names[0] + "\""));
  EXPECT_NE(std::string::npos, ItemFor(outcome.text, pids[2]).find("name=\"line&#10;break&#13;) x\""));
  for (pid_t pid : pids) {
    CheckedModules(pid);
    KillAndReap(pid);
  }
}

// A deleted image: its facts are never read by name, so a link planted at
// "<path> (deleted)" (to a file only root may read) is never followed.
TEST_F(HostileMachine, DeletedImagesWithoutALink) {
  const std::string image = scratch_.path() + "/victim";
  fs::copy_file(SleepBinary(), image);
  ASSERT_EQ(0, chmod(image.c_str(), 0755));
  const pid_t pid = StartAs(image, "victim");
  ASSERT_EQ(0, unlink(image.c_str()));
  auto outcome = CheckedList();
  EXPECT_FALSE(ItemFor(outcome.text, pid).empty());
  CheckedModules(pid);
  KillAndReap(pid);
}

// The planted link's target is never sized: the image facts are read
// through the process itself (/proc/PID/exe), never by the reported name.
TEST_F(HostileMachine, DeletedImageWithAPlantedLinkIsNeverFollowed) {
  const std::string secret = scratch_.path() + "/secret";
  WriteBytes(secret, std::string(123457, 's'));
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  const std::string image = scratch_.path() + "/victim";
  fs::copy_file(SleepBinary(), image);
  ASSERT_EQ(0, chmod(image.c_str(), 0755));
  const pid_t pid = StartAs(image, "victim");
  ASSERT_EQ(0, unlink(image.c_str()));
  ASSERT_EQ(0, symlink(secret.c_str(), (image + " (deleted)").c_str()));
  auto outcome = CheckedList();
  const std::string item = ItemFor(outcome.text, pid);
  EXPECT_FALSE(item.empty());
  EXPECT_EQ(std::string::npos, item.find("FileSize=\"123457\"")) << item;
  CheckedModules(pid);
  KillAndReap(pid);
}

TEST_F(HostileMachine, PlantedLinkAtTheResultPathIsReplacedNotFollowed) {
  const std::string secret = scratch_.path() + "/secret";
  WriteBytes(secret, "root only\n");
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  const std::string shared = scratch_.path() + "/shared";
  ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
  ASSERT_EQ(0, chmod(shared.c_str(), 01777));
  const std::string result = shared + "/result.xml";
  ASSERT_EQ(0, symlink(secret.c_str(), result.c_str()));
  ASSERT_EQ(0, lchown(result.c_str(), 65534, 65534));
  const std::string request = scratch_.path() + "/request.xml";
  WriteBytes(request, ListRequest());
  const int code = library_.invoke()(Utf8ToUtf16(request).c_str(), Utf8ToUtf16(result).c_str());
  EXPECT_EQ(0, code);
  EXPECT_EQ("root only\n", ReadBytes(secret));
  struct stat st {};
  ASSERT_EQ(0, lstat(result.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_TRUE(WellFormed(ReadBytes(result)));
}

TEST_F(HostileMachine, FifoAtTheResultPathGetsNothingAndTheCodeStands) {
  const std::string fifo = scratch_.path() + "/result.xml";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  // A reader stays open so that a wrong open for writing would not hang the
  // test; nothing may come through.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const std::string request = scratch_.path() + "/request.xml";
  WriteBytes(request, ListRequest());
  EXPECT_EQ(0, library_.invoke()(Utf8ToUtf16(request).c_str(), Utf8ToUtf16(fifo).c_str()));
  // A stop whose response cannot be written still reports its outcome.
  const pid_t victim = StartSleeper();
  WriteBytes(request, MakeRequest("ZEV_StopProcess_KLV", {std::to_string(victim)}));
  EXPECT_EQ(0, library_.invoke()(Utf8ToUtf16(request).c_str(), Utf8ToUtf16(fifo).c_str()));
  EXPECT_EQ(SIGKILL, ReapSignal(victim));
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
  struct stat st {};
  ASSERT_EQ(0, lstat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // No temporary file stays behind: the FIFO and the command file only.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(scratch_.path()), fs::directory_iterator()));
}

TEST_F(HostileMachine, CommandFilesThatAreNotRegularFilesGetTheErrorResponse) {
  const std::string fifo = scratch_.path() + "/request.xml";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  // A writer holds the FIFO open with a whole request in it: a read would
  // not fail on its own, it would wait for the end that never comes.
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const std::string request = ListRequest();
  ASSERT_EQ(static_cast<ssize_t>(request.size()), write(writer, request.data(), request.size()));
  for (const std::string& path : {fifo, std::string("/dev/zero"), scratch_.path()}) {
    auto outcome = library_.RunFile(path, scratch_.path() + "/result.xml");
    EXPECT_EQ(-1, outcome.code) << path;
    ASSERT_TRUE(outcome.written) << path;
    EXPECT_TRUE(WellFormed(outcome.bytes));
    EXPECT_EQ(0u, outcome.text.find("<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><Response>\r\n"
                                    "<Result DateTime=\"T\" nResult=\"1\" ErrMsg=\""))
        << outcome.text;
  }
  close(writer);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
