// Command files that are not regular files are refused at once, without
// blocking and without being read: FIFOs, devices, directories, whether
// named by path, through a link or by file: URL.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "plugin/request.h"
#include "support/test_support.h"

namespace kelvane {
namespace {

using testing::TempDir;
using testing::WriteBytes;

// ReadRequest's result for `path`, run in a child process that is stopped
// after 20 s, so that a read that blocks fails the test instead of hanging
// it. 99 when the child did not finish.
int ReadInChild(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);
    CmdRequest request{};
    const int rc = ReadRequest(Utf8ToUtf16(path).c_str(), &request);
    uint32_t count = 0;
    const int countRc = CountTargets(Utf8ToUtf16(path).c_str(), &count);
    _exit(rc == countRc ? rc + 1 : 50);
  }
  if (child < 0) return 98;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 99;
  return WEXITSTATUS(status) - 1;
}

TEST(RequestFiles, NonRegularFilesAreRefusedWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  EXPECT_EQ(-1, ReadInChild(fifo));
  // Even with a writer holding it open and a whole request waiting in it.
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const std::string request = "<R name=\"A_KLV\"><procid PID=\"1\"/></R>";
  ASSERT_EQ(static_cast<ssize_t>(request.size()), write(writer, request.data(), request.size()));
  EXPECT_EQ(-1, ReadInChild(fifo));
  EXPECT_EQ(-1, ReadInChild("file://" + fifo));
  close(writer);

  EXPECT_EQ(-1, ReadInChild("/dev/zero"));
  EXPECT_EQ(-1, ReadInChild("/dev/null"));
  EXPECT_EQ(-1, ReadInChild("file:///dev/zero"));
  EXPECT_EQ(-1, ReadInChild(dir.path()));
  const std::string link = dir.File("link");
  ASSERT_EQ(0, symlink("/dev/zero", link.c_str()));
  EXPECT_EQ(-1, ReadInChild(link));
}

TEST(RequestFiles, RegularFilesReadByPathLinkOrFileUrl) {
  TempDir dir;
  const std::string sub = dir.File("a b");
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  const std::string path = sub + "/r.xml";
  WriteBytes(path, "<R name=\"A_KLV\"><procid PID=\"1\"/><procid PID=\"2\"/></R>");
  EXPECT_EQ(0, ReadInChild(path));
  const std::string link = dir.File("link.xml");
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  EXPECT_EQ(0, ReadInChild(link));
  const std::string url = "file://" + dir.path() + "/a%20b/r.xml";
  CmdRequest request{};
  ASSERT_EQ(0, ReadRequest(Utf8ToUtf16(url).c_str(), &request));
  ASSERT_NE(nullptr, request.pTargets);
  ASSERT_NE(nullptr, request.pTargets->pNext);
  EXPECT_EQ(std::u16string(u"2"), FieldView(request.pTargets->pNext->szPID));
  delete request.pTargets->pNext;
  delete request.pTargets;
  EXPECT_EQ(0, ReadInChild("file://localhost" + path));
  EXPECT_EQ(-1, ReadInChild("file://" + dir.path() + "/a%2/r.xml"));
}

// Every spelling of a file URL of this machine is guarded as a path is: a
// FIFO is refused without blocking, an oversized file without being read.
TEST(RequestFiles, EverySpellingOfALocalFileUrlIsGuarded) {
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  const std::string big = dir.File("big.xml");
  WriteBytes(big, "<R name=\"A_KLV\">" + std::string(16u * 1024 * 1024, ' ') + "</R>");
  for (const std::string prefix : {"file://LOCALHOST", "FILE://LocalHost", "file:"}) {
    EXPECT_EQ(-1, ReadInChild(prefix + fifo)) << prefix;
    EXPECT_EQ(-1, ReadInChild(prefix + big)) << prefix;
  }
  EXPECT_EQ(-1, ReadInChild("file://LOCALHOST" + dir.path() + "/%66ifo"));
}

}  // namespace
}  // namespace kelvane
