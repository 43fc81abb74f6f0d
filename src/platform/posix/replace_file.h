#ifndef EMSGRAFT_PLATFORM_POSIX_REPLACE_FILE_H
#define EMSGRAFT_PLATFORM_POSIX_REPLACE_FILE_H

#include <string>
#include <string_view>
#include <vector>

namespace emsgraft {

// Replaces the content of the file at `path` with `pieces`, one after the
// other: written to a temporary file in the same directory, flushed to disk
// and renamed over the file, so that the file holds either its old or its new
// content whatever happens. A symbolic link is followed and stays a link; the
// file keeps its permission bits (and owner, where allowed). On failure
// returns false with errno set, and the file and its directory are as before.
bool ReplaceFileContent(const std::string &path, const std::vector<std::string_view> &pieces);

// Reads the whole regular file at `path` into `content`. Returns 0, or an
// errno value: ENOENT when nothing of that name exists, EISDIR for a
// directory, EINVAL for anything else that is not a regular file.
int ReadFileContent(const std::string &path, std::string &content);

}  // namespace emsgraft

#endif
