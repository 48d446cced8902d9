// Where a client's thumbnail path lies on this PC, and whether it may be read.
//
// Stand-in until the share module's path resolution and containment test are wired here:
// it takes the path as a local path, accepts only absolute paths ("\\" counts as "/") and
// refuses any ".." element. The real one replaces a leading virtual share name by its
// folder and accepts only paths inside a share.
#pragma once

#include <string>

namespace ks::handlers {

// 0: *localPath is the file to read; 4123: the virtual share's folder is not set;
// 1: refused (outside every share, or not a usable path).
int ResolveThumbnailPath(const std::string& clientPath, std::string* localPath);

}  // namespace ks::handlers
