// The response file on Linux is replaced whole or not at all: a failed
// write leaves the old file as it was and no temporary file behind; a
// symbolic link at the path is replaced, never followed; a FIFO, device or
// directory at the path is refused at once.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/alloc_injection.h"
#include "markup/xml_doc.h"
#include "markup/markup_test_util.h"
#include "support/test_support.h"

namespace kelvane {

using testing::kDeclaration;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

namespace {

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  DIR* d = opendir(directory.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

// A response of at least `units` characters.
void LoadResponse(CXmlDoc* doc, size_t units) {
  doc->LoadText(kDeclaration);
  doc->AddElement(u"Response");
  doc->AddElement(u"Result", CXmlDoc::ADD_CHILD);
  doc->SetAttribute(doc->ChildPosition(), u"v", std::u16string(units, u'x'));
}

mode_t CurrentUmask() {
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

TEST(XmlSaveLinux, ANewFileGetsTheUsualMode) {
  TempDir dir;
  const std::string path = dir.File("r.xml");
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path)));
  EXPECT_EQ(ReadBytes(path), "<a/>");
  struct stat st {};
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u & ~CurrentUmask());
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"r.xml"});
  // A name without a directory lands in the working directory.
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  const bool saved = doc.SaveFile(u"plain.xml");
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_TRUE(saved);
  EXPECT_EQ(ReadBytes(dir.File("plain.xml")), "<a/>");
}

// A host that keeps its result file private (listings hold command lines)
// keeps it private: the new file has the old one's mode and owner.
TEST(XmlSaveLinux, AReplacedFileKeepsItsModeAndOwner) {
  TempDir dir;
  const std::string path = dir.File("r.xml");
  WriteBytes(path, std::string(10000, 'o'));
  ASSERT_EQ(0, chmod(path.c_str(), 0600));
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
  }
  struct stat old {};
  ASSERT_EQ(0, lstat(path.c_str(), &old));
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path)));
  EXPECT_EQ(ReadBytes(path), "<a/>");
  struct stat st {};
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_NE(st.st_ino, old.st_ino);  // replaced, not rewritten
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, old.st_uid);
  EXPECT_EQ(st.st_gid, old.st_gid);
  // Wider rights are kept as well; set-id bits are not carried over.
  ASSERT_EQ(0, chmod(path.c_str(), 04664));
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path)));
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"r.xml"});
}

// Runs `body` in a child process that has given up root for the nobody
// account; its exit status (0 for success) is returned, -1 when the child
// could not be made. Skips the test when this process is not root.
int AsNobody(const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
      _exit(3);
    }
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A directory that takes no new file from the writer does not lose the
// response when the file at the path may be written: it is written in
// place, cut to the new length, its rights and owner as they were.
TEST(XmlSaveLinux, ADirectoryThatTakesNoNewFileGetsTheFileWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  const std::string locked = dir.File("locked");
  ASSERT_EQ(0, mkdir(locked.c_str(), 0755));
  const std::string path = locked + "/r.xml";
  WriteBytes(path, std::string(10000, 'o'));
  ASSERT_EQ(0, chmod(path.c_str(), 0666));
  struct stat old {};
  ASSERT_EQ(0, lstat(path.c_str(), &old));
  ASSERT_EQ(0, AsNobody([&] {
    CXmlDoc doc;
    doc.LoadText(u"<a/>");
    return doc.SaveFile(Utf8ToUtf16(path));
  }));
  EXPECT_EQ(ReadBytes(path), "<a/>");
  struct stat st {};
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_EQ(st.st_ino, old.st_ino);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(Entries(locked), std::vector<std::string>{"r.xml"});

  // A link at the path is never written through, in place or otherwise, and
  // a file the writer may not write stays as it was.
  const std::string target = dir.File("target");
  WriteBytes(target, "target");
  ASSERT_EQ(0, chmod(target.c_str(), 0666));
  const std::string link = locked + "/link.xml";
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  const std::string readOnly = locked + "/ro.xml";
  WriteBytes(readOnly, "read only");
  ASSERT_EQ(0, chmod(readOnly.c_str(), 0644));
  // Nor is a file with a second name written in place: the bytes would
  // show under the other name too.
  const std::string linked = locked + "/linked.xml";
  WriteBytes(linked, "linked");
  ASSERT_EQ(0, chmod(linked.c_str(), 0666));
  ASSERT_EQ(0, ::link(linked.c_str(), dir.File("other-name").c_str()));
  ASSERT_EQ(1, AsNobody([&] {
    CXmlDoc doc;
    doc.LoadText(u"<a/>");
    return doc.SaveFile(Utf8ToUtf16(link)) || doc.SaveFile(Utf8ToUtf16(readOnly)) ||
           doc.SaveFile(Utf8ToUtf16(linked));
  }));
  EXPECT_EQ(ReadBytes(target), "target");
  EXPECT_EQ(ReadBytes(readOnly), "read only");
  EXPECT_EQ(ReadBytes(dir.File("other-name")), "linked");
  ASSERT_EQ(0, lstat(link.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// Memory running out at any allocation while a file is saved leaves no
// descriptor open and no temporary file behind; the file at the path is the
// old one or the new one, whole.
TEST(XmlSaveLinux, AllocationFailureLeavesNoDescriptorAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.File("r.xml");
  const std::string old(3000, 'o');
  WriteBytes(path, old);
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  const std::u16string wide = Utf8ToUtf16(path);
  const int descriptors = kelvane::testing::CountOpenDescriptors();
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 1000) << "saving kept allocating";
    kelvane::testing::FailAllocationAfter(n);
    const bool ok = doc.SaveFile(wide);
    const bool injected = kelvane::testing::AllocationFailed();
    kelvane::testing::FailAllocationAfter(-1);
    EXPECT_EQ(kelvane::testing::CountOpenDescriptors(), descriptors) << "allocation " << n;
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"r.xml"}) << "allocation " << n;
    const std::string now = ReadBytes(path);
    EXPECT_TRUE(now == old || now == "<a/>") << "allocation " << n;
    if (!injected) {
      EXPECT_TRUE(ok);
      break;
    }
  }
}

TEST(XmlSaveLinux, MissingDirectoryFailsWithTheSystemText) {
  TempDir dir;
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  EXPECT_FALSE(doc.SaveFile(Utf8ToUtf16(dir.File("missing/r.xml"))));
  EXPECT_EQ(doc.Messages(), Utf8ToUtf16(std::strerror(ENOENT)));
  EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(XmlSaveLinux, FailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.File("r.xml");
  const std::string old(3000, 'o');
  WriteBytes(path, old);
  CXmlDoc doc;
  LoadResponse(&doc, 100000);
  // Over the file-size limit a write fails with EFBIG (and SIGXFSZ, which
  // would end the test unless ignored).
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGXFSZ, &ignore, &previous));
  struct rlimit limit {}, saved {};
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  limit = saved;
  limit.rlim_cur = 4096;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  const bool ok = doc.SaveFile(Utf8ToUtf16(path));
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(doc.Messages(), Utf8ToUtf16(std::strerror(EFBIG)));
  EXPECT_EQ(ReadBytes(path), old);
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"r.xml"});
}

TEST(XmlSaveLinux, SymbolicLinkAtThePathIsReplacedNeverFollowed) {
  TempDir dir;
  // A root-only file and, in a sticky world-writable directory, a link to
  // it planted by another user.
  const std::string secret = dir.File("secret");
  WriteBytes(secret, "root only");
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  const std::string shared = dir.File("shared");
  ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
  ASSERT_EQ(0, chmod(shared.c_str(), 01777));
  const std::string path = shared + "/r.xml";
  ASSERT_EQ(0, symlink(secret.c_str(), path.c_str()));
  if (geteuid() == 0) {
    ASSERT_EQ(0, lchown(path.c_str(), 65534, 65534));
  }
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path))) << kelvane::Utf16ToUtf8(doc.Messages());
  EXPECT_EQ(ReadBytes(secret), "root only");
  struct stat st {};
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadBytes(path), "<a/>");
  // A dangling link is replaced the same way; its target is not created.
  const std::string dangling = shared + "/d.xml";
  ASSERT_EQ(0, symlink(dir.File("created").c_str(), dangling.c_str()));
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(dangling)));
  EXPECT_FALSE(kelvane::testing::FileExists(dir.File("created")));
  ASSERT_EQ(0, lstat(dangling.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(XmlSaveLinux, FifoDeviceAndDirectoryAreRefusedAtOnce) {
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  // A reader is kept open so that an open for writing would not block the
  // test even if the FIFO were opened; nothing may arrive through it.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  EXPECT_FALSE(doc.SaveFile(Utf8ToUtf16(fifo)));
  EXPECT_EQ(doc.Messages(), Utf8ToUtf16(std::strerror(EINVAL)));
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);  // no writer ever came: nothing to read
  close(reader);
  struct stat st {};
  ASSERT_EQ(0, lstat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  EXPECT_FALSE(doc.SaveFile(u"/dev/null"));
  ASSERT_EQ(0, lstat("/dev/null", &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  const std::string sub = dir.File("sub");
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  EXPECT_FALSE(doc.SaveFile(Utf8ToUtf16(sub)));
  EXPECT_EQ(doc.Messages(), Utf8ToUtf16(std::strerror(EISDIR)));
  EXPECT_FALSE(doc.SaveFile(Utf8ToUtf16(sub + "/")));
  EXPECT_FALSE(doc.SaveFile(Utf8ToUtf16(sub + "/..")));
  EXPECT_TRUE(Entries(sub).empty());
  EXPECT_EQ(Entries(dir.path()).size(), 2u);
}

}  // namespace

}  // namespace kelvane
