// The loader's containment: once entered, plug-in code can read only the
// given folders (and the system's libraries), cannot write files, start
// programs or open sockets. Each mechanism is used where the kernel has it.
#pragma once

#include <string>
#include <vector>

struct SandboxState {
  bool landlock = false;  // reads limited, writes refused by path
  int landlockAbi = 0;
  bool seccomp = false;  // writes, sockets, exec and fork refused by call
};

SandboxState EnterSandbox(const std::vector<std::string>& readable);
