// Lengths and offsets in a file's header checked against the file's size
// before assimp sees the file: assimp trusts them, and a few bytes of a
// broken or hostile file make it allocate gigabytes or loop for seconds.
#pragma once

#include <cstdint>
#include <string_view>

// The text to fail with when the header at head (the file's first bytes,
// as many as there are up to 4096) names more bytes than the file of
// fileSize bytes holds; null when the header is sound or not one checked
// here (GLB, IQM).
const char* CheckHeaderLengths(std::string_view head, uint64_t fileSize);
