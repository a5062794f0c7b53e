// Material libraries of OBJ files: the named materials' diffuse colour
// ("Kd"), opacity ("d", or "Tr" as 1 - d) and diffuse image ("map_Kd").
// Everything else in the file is ignored.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/appearance.h"

struct MtlMaterial {
  std::string name;
  SurfaceMaterial material;
};

// Appends the materials of a library's text to out, in file order. Never
// fails: lines it cannot read are passed over.
void ParseMtl(std::string_view text, std::vector<MtlMaterial>& out);

// Reads the library at path (a regular file of at most a bounded size) into
// out. Returns false, adding nothing, when it cannot be read.
bool ReadMtlFile(const std::string& path, std::vector<MtlMaterial>& out);
