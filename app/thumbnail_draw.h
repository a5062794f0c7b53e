// The drawing half of --thumbnail: a process forked before any toolkit or
// OpenGL start-up that enters the sandbox while it is one thread, then
// starts the software renderer and reads and draws the models inside it
// (it can read below the folders it was started for, the plug-in folder
// and the system's libraries, and write nothing but its socket), and hands
// each picture to its parent, which alone writes files. It keeps its
// context and takes one file after another until its parent closes the
// socket.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct DrawerSetup {
  int size = 0;                       // edge of the square pictures in pixels
  std::vector<std::string> readable;  // folders the readers may read (see AddModelFolders)
  bool textures = true;               // materials and textures drawn
};

// The body of the forked child: answers the requests that come through in
// on out, as thumbnail_pipe.h says, and exits when in closes. parent is the
// process that forked it.
[[noreturn]] void RunThumbnailDrawer(const DrawerSetup& setup, int out, int in, pid_t parent);
