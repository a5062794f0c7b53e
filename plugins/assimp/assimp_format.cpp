// Compiled once per module with ASSIMP_FORMAT_NAME and ASSIMP_FORMAT_EXT.
#include "assimp_format.h"

extern const AssimpFormat kAssimpFormat = {ASSIMP_FORMAT_NAME, ASSIMP_FORMAT_EXT};
