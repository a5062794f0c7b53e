#include "widgets/subfolder_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

bool HasChildNodes(const std::string& folder, const FileNodePredicate& fileIsNode, int maxEntries) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  const int fd = dirfd(dir);
  bool found = false;
  int seen = 0;
  while (const dirent* d = readdir(dir)) {
    const std::string_view name = d->d_name;
    if (name.empty() || name.front() == '.') continue;  // hidden, "." and ".."
    if (++seen > maxEntries) {
      found = true;
      break;
    }
    bool isDir = d->d_type == DT_DIR;
    bool isFile = d->d_type == DT_REG;
    if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(fd, d->d_name, &st, 0) != 0) continue;
      isDir = S_ISDIR(st.st_mode);
      isFile = S_ISREG(st.st_mode);
    }
    if (isDir || (isFile && fileIsNode && fileIsNode(name))) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}
