// The drawing half of --thumbnail: a process forked before any toolkit or
// OpenGL start-up that enters the sandbox while it is one thread, then
// starts the software renderer and reads and draws the models inside it
// (it can read below the models' folders, the plug-in folder and the
// system's libraries, and write nothing but its pipe), and hands each
// picture to its parent, which alone writes files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

struct ThumbnailBatch {
  int size = 0;                     // edge of the square picture in pixels
  std::vector<std::string> inputs;  // model files
  std::vector<bool> draw;           // false: the parent turned the file away itself
  bool textures = true;             // materials and textures drawn
};

// The body of the forked child: draws the files of batch from index first
// on (those with draw set), reporting through fd as thumbnail_pipe.h says,
// and exits. parent is the process that forked it.
[[noreturn]] void RunThumbnailDrawer(const ThumbnailBatch& batch, size_t first, int fd,
                                     pid_t parent);
