// Replacing a file in a directory as a whole, for readers that may look at
// any moment (node_exporter's textfile collector). Part of the OS seam of
// kelvanectl (see host_os.h): textfile_posix.cc and textfile_win32.cc hold
// the OS calls.
#ifndef KELVANECTL_TEXTFILE_H_
#define KELVANECTL_TEXTFILE_H_

#include <string>

namespace kelvanectl {

// Writes `bytes` to DIRECTORY/NAME so that a reader finds the old file or
// the new one, never a part of either: the bytes go to a new file in
// `directory` (created exclusively, never through a link; its name starts
// with a dot and does not end in NAME's suffix, so a collector reading
// "*.prom" passes it over), which is flushed to disk, closed and renamed
// over NAME. A symbolic link at NAME is replaced, not followed. The file is
// readable by everyone (mode 0644 on POSIX). On any failure, a file-size
// limit included, the temporary file is removed, NAME is left as it was,
// and the reason is in *error.
bool ReplaceFileInDirectory(const std::string& directory, const std::string& name, const std::string& bytes,
                            std::string* error);

}  // namespace kelvanectl

#endif  // KELVANECTL_TEXTFILE_H_
