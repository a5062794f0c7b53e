// The one format a module of the assimp reader set serves. The reader code
// is shared by every module; each module adds a small translation unit that
// defines kAssimpFormat from its compile definitions.
#pragma once

struct AssimpFormat {
  const char* name;       // display name, GetSupportInfo(0)
  const char* extension;  // without a dot, GetSupportInfo(1)
};

extern const AssimpFormat kAssimpFormat;
