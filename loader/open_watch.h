// Which files a plug-in was refused: the loader's own open and fopen stand
// in front of the C library's for every library it loads, pass each call
// on, and remember the paths the sandbox refused, so that a scene whose
// companion files lie out of reach never loses them silently.
#pragma once

#include <string>
#include <vector>

struct RefusedOpens {
  std::vector<std::string> first;  // the first few paths, in order
  unsigned total = 0;              // every refusal, repeats of a path once
};

// Forgets what was seen so far.
void ResetRefusedOpens();
// What was refused since the last reset.
RefusedOpens TakeRefusedOpens();
