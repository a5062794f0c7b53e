// Reader plug-ins on the Open Asset Import Library (assimp). This code is
// shared by every module of the set; each module serves one extension,
// named by kAssimpFormat (assimp_format.cpp, compiled per module).
//
// Tarnelle keeps polygons as they are, so nothing is triangulated; node
// transforms are applied (the static pose of the file); materials' diffuse
// colours and images, embedded images and the first set of texture
// coordinates go to the appearance where the executable takes it;
// animations, cameras and lights are left alone. assimp runs in tarnelle's
// loader process; files above a size limit, and files whose header lengths
// point beyond their end, are refused before assimp sees them, and no C++
// exception leaves an export.

#include <assimp/DefaultIOSystem.h>
#include <assimp/config.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <sys/stat.h>

#include <assimp/Importer.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "assimp_format.h"
#include "header_check.h"
#include "tarnelle_plugin.h"

namespace {

char g_msg[256];

constexpr char kOpenFailed[] = "ファイルがオープンできませんでした。";
constexpr char kTooLarge[] = "ファイルが大きすぎます（2 GB まで）。";
constexpr char kTooManyVertices[] = "頂点が多すぎます。";
constexpr char kBadIndex[] = "頂点番号が範囲外です。";
constexpr char kNoMemory[] = "メモリが不足しています。";
constexpr char kFailed[] = "読み込み中にエラーが発生しました。";

// assimp holds a whole file and more in memory; beyond this a load would
// only exhaust the process.
constexpr long long kMaxFileBytes = 2LL << 30;

// Length of the UTF-8 sequence at s (n bytes available), 0 when the bytes
// there do not form one.
size_t Utf8Length(const unsigned char* s, size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if ((s[i] & 0xC0) != 0x80) return 0;
  return len;
}

// Keeps text for GetErrMsg as one line of UTF-8: control characters become
// spaces, bytes outside a UTF-8 sequence (assimp quotes file contents)
// become '?', and a text too long is cut before a whole character.
void SetMessage(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t in = 0, out = 0;
  while (in < text.size()) {
    size_t len = Utf8Length(s + in, text.size() - in);
    const char* put = reinterpret_cast<const char*>(s + in);
    char replacement;
    if (len == 0 || (len == 1 && s[in] < 0x20) || s[in] == 0x7F) {
      replacement = len == 0 ? '?' : ' ';
      put = &replacement;
      in += 1;
      len = 1;
    } else {
      in += len;
    }
    if (out + len > sizeof g_msg - 1) break;
    memcpy(g_msg + out, put, len);
    out += len;
  }
  // assimp often ends its texts with a line break.
  while (out > 0 && g_msg[out - 1] == ' ') --out;
  g_msg[out] = '\0';
}

bool Fail(std::string_view text) {
  SetMessage(text);
  return false;
}

bool Contains(std::string_view s, std::string_view what) {
  return s.find(what) != std::string_view::npos;
}

// The answer of IsSupport from the first bytes of a file, for the formats
// that have a signature; 0 for the others.
int32_t Signature(std::string_view ext, std::string_view head) {
  if (ext == "glb") return head.substr(0, 4) == "glTF" ? 1 : -1;
  if (ext == "blend") {
    if (head.substr(0, 7) == "BLENDER") return 1;
    // Compressed files are gzip streams; what they hold shows only unpacked.
    return head.substr(0, 2) == "\x1f\x8b" ? 0 : -1;
  }
  if (ext == "gltf") {
    if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
    const size_t first = head.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || head[first] != '{') return -1;
    // JSON keeps no order of its members: "asset" may come late.
    return Contains(head, "\"asset\"") ? 1 : 0;
  }
  if (ext == "fbx") {
    if (head.substr(0, 18) == "Kaydara FBX Binary") return 1;
    if (Contains(head, std::string_view("\0", 1))) return -1;  // binary, yet not FBX
    return Contains(head, "FBXHeaderExtension") ? 1 : 0;
  }
  return 0;
}

class File {
 public:
  explicit File(const char* path) : f_(path ? fopen(path, "rb") : nullptr) {}
  ~File() {
    if (f_) fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }

 private:
  FILE* f_;
};

// assimp picks its reader by the extension of the name it is given and
// knows many formats by nothing else. A file of another extension (found by
// its signature, or read through this module's filter item) is therefore
// handed over under an alias with this module's extension, which this file
// system resolves to the real file; every other name passes unchanged.
class AliasIOSystem : public Assimp::DefaultIOSystem {
 public:
  AliasIOSystem(std::string alias, std::string path)
      : alias_(std::move(alias)), path_(std::move(path)) {}
  bool Exists(const char* file) const override { return DefaultIOSystem::Exists(Resolve(file)); }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    return DefaultIOSystem::Open(Resolve(file), mode);
  }

 private:
  const char* Resolve(const char* file) const {
    return file && alias_ == file ? path_.c_str() : file;
  }
  std::string alias_, path_;
};

// Whether path ends in "." and ext, in any case.
bool HasExtension(std::string_view path, std::string_view ext) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || path.size() - dot - 1 != ext.size()) return false;
  if (path.find('/', dot) != std::string_view::npos) return false;
  for (size_t i = 0; i < ext.size(); ++i) {
    char c = path[dot + 1 + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ext[i]) return false;
  }
  return true;
}

// The polygon colour a material gives, false when it gives none. assimp
// supplies a grey default material to files without any: that one is not
// the file's, so its polygons keep the object colour.
bool DiffuseColor(const aiMaterial* material, float rgb[3]) {
  if (!material) return false;
  aiString name;
  if (material->Get(AI_MATKEY_NAME, name) == aiReturn_SUCCESS &&
      strcmp(name.C_Str(), AI_DEFAULT_MATERIAL_NAME) == 0)
    return false;
  aiColor3D c;
  if (material->Get(AI_MATKEY_COLOR_DIFFUSE, c) != aiReturn_SUCCESS) return false;
  const float v[3] = {c.r, c.g, c.b};
  for (int i = 0; i < 3; ++i) rgb[i] = v[i] > 1.0f ? 1.0f : v[i] >= 0.0f ? v[i] : 0.0f;
  return true;
}

// Whether the executable offers the appearance functions (an older one
// lacks them: the kit declares them weak).
bool AppearanceWanted() {
  return _PobjSetMaterial && _PobjSetPolygonMaterial && _PobjSetPolygonUV && _PobjAddImage;
}

// The scene's materials as the appearance has them, numbered as meshes
// first use them (a scene may list materials no mesh uses); polygons of a
// material with neither a colour nor an image, or of assimp's default one,
// get none.
class Look {
 public:
  explicit Look(const aiScene& scene) : scene_(scene) {
    if (!AppearanceWanted() || !scene.mMaterials) return;
    number_.assign(scene.mNumMaterials, kUnseen);
  }

  bool on() const { return !number_.empty(); }

  // The appearance's material for polygons of mesh, or -1.
  int32_t MaterialOf(const aiMesh& mesh) {
    const unsigned i = mesh.mMaterialIndex;
    if (i >= number_.size()) return -1;
    if (number_[i] == kUnseen)
      number_[i] = scene_.mMaterials[i] && SetMaterial(next_, *scene_.mMaterials[i]) ? next_++ : -1;
    return number_[i];
  }

 private:
  bool SetMaterial(int32_t n, const aiMaterial& material) {
    aiString name;
    if (material.Get(AI_MATKEY_NAME, name) == aiReturn_SUCCESS &&
        strcmp(name.C_Str(), AI_DEFAULT_MATERIAL_NAME) == 0)
      return false;
    // glTF's base colour is its diffuse one; assimp gives both.
    aiColor4D c(1.0f, 1.0f, 1.0f, 1.0f);
    const bool colored = material.Get(AI_MATKEY_COLOR_DIFFUSE, c) == aiReturn_SUCCESS ||
                         material.Get(AI_MATKEY_BASE_COLOR, c) == aiReturn_SUCCESS;
    float opacity = c.a;
    material.Get(AI_MATKEY_OPACITY, opacity);
    const std::string texture = Texture(material);
    if (!colored && texture.empty()) return false;
    // A name past the kit's limit loses the image, not the colour.
    return _PobjSetMaterial(n, c.r, c.g, c.b, opacity, texture.c_str()) >= 0 ||
           (colored && _PobjSetMaterial(n, c.r, c.g, c.b, opacity, nullptr) >= 0);
  }

  // The first diffuse (or base colour) image: the file name as the model
  // gives it, or "*N" for an embedded image handed over as image N.
  std::string Texture(const aiMaterial& material) {
    aiString path;
    if (material.GetTexture(aiTextureType_DIFFUSE, 0, &path) != aiReturn_SUCCESS &&
        material.GetTexture(aiTextureType_BASE_COLOR, 0, &path) != aiReturn_SUCCESS)
      return {};
    const aiTexture* embedded = scene_.GetEmbeddedTexture(path.C_Str());
    // "*N" names an embedded image, even one that is not there.
    if (!embedded) return path.C_Str()[0] == '*' ? std::string() : path.C_Str();
    auto known = images_.find(embedded);
    if (known == images_.end()) {
      // Only encoded images (mHeight 0, mWidth bytes) travel; raw pixels
      // are left out.
      int32_t n = -1;
      if (embedded->mHeight == 0 && embedded->pcData && embedded->mWidth <= INT32_MAX) {
        char hint[sizeof embedded->achFormatHint + 1] = {};
        memcpy(hint, embedded->achFormatHint, sizeof embedded->achFormatHint);
        n = _PobjAddImage(hint, embedded->pcData, static_cast<int32_t>(embedded->mWidth));
      }
      known = images_.emplace(embedded, n).first;
    }
    if (known->second < 0) return {};
    char star[16];
    snprintf(star, sizeof star, "*%d", static_cast<int>(known->second));
    return star;
  }

  const aiScene& scene_;
  static constexpr int32_t kUnseen = -2;
  std::vector<int32_t> number_;
  int32_t next_ = 0;
  std::map<const aiTexture*, int32_t> images_;
};

// Adds one placement of a mesh: its vertices moved by the node's
// transform, its polygons (reversed where the transform mirrors, so that
// they keep facing outwards) with their material and texture coordinates.
bool AddMesh(const aiScene& scene, Look& look, const aiMesh& mesh, const aiMatrix4x4& transform,
             std::vector<int32_t>& corners, std::vector<float>& uv) {
  if (mesh.mNumVertices == 0 || !mesh.mVertices) return true;
  const long long base = _PobjGetNv();
  if (base + static_cast<long long>(mesh.mNumVertices) > INT32_MAX) return Fail(kTooManyVertices);
  for (unsigned i = 0; i < mesh.mNumVertices; ++i) {
    const aiVector3D p = transform * mesh.mVertices[i];
    if (_PobjAddVertex(p.x, p.y, p.z) < 0) return Fail(kNoMemory);
  }
  const bool mirrored = transform.Determinant() < 0;
  float rgb[3];
  const bool colored = mesh.mMaterialIndex < scene.mNumMaterials && scene.mMaterials &&
                       DiffuseColor(scene.mMaterials[mesh.mMaterialIndex], rgb);
  const int32_t material = look.on() ? look.MaterialOf(mesh) : -1;
  const aiVector3D* coords = look.on() ? mesh.mTextureCoords[0] : nullptr;
  for (unsigned f = 0; f < mesh.mNumFaces && mesh.mFaces; ++f) {
    const aiFace& face = mesh.mFaces[f];
    // Points and lines have no surface to show.
    if (face.mNumIndices < 3 || !face.mIndices) continue;
    const unsigned n = face.mNumIndices;
    corners.resize(n);
    uv.resize(2 * static_cast<size_t>(n));
    for (unsigned k = 0; k < n; ++k) {
      if (face.mIndices[k] >= mesh.mNumVertices) return Fail(kBadIndex);
      const unsigned at = mirrored ? n - 1 - k : k;
      corners[at] = static_cast<int32_t>(base + face.mIndices[k]);
      if (coords) {
        uv[2 * at] = coords[face.mIndices[k]].x;
        uv[2 * at + 1] = coords[face.mIndices[k]].y;
      }
    }
    const int32_t p = _PobjAddPolygon(static_cast<int32_t>(n), corners.data());
    if (p < 0) return Fail(kNoMemory);
    if (colored) _PobjSetPolygonColor(p, rgb);
    if (material >= 0) _PobjSetPolygonMaterial(p, material);
    if (coords) _PobjSetPolygonUV(p, static_cast<int32_t>(n), uv.data());
  }
  return true;
}

// Every mesh at every node that places it, in the order of the node tree.
// This is what assimp's pre-transform step gives, without the copy of the
// whole scene that it makes first.
bool AddNodes(const aiScene& scene) {
  struct Placed {
    const aiNode* node;
    aiMatrix4x4 parent;
  };
  std::vector<Placed> stack;
  if (scene.mRootNode) stack.push_back({scene.mRootNode, aiMatrix4x4()});
  Look look(scene);
  std::vector<int32_t> corners;
  std::vector<float> uv;
  while (!stack.empty()) {
    const Placed at = stack.back();
    stack.pop_back();
    const aiMatrix4x4 transform = at.parent * at.node->mTransformation;
    for (unsigned k = 0; k < at.node->mNumMeshes && at.node->mMeshes; ++k) {
      const unsigned m = at.node->mMeshes[k];
      if (m < scene.mNumMeshes && scene.mMeshes[m] &&
          !AddMesh(scene, look, *scene.mMeshes[m], transform, corners, uv))
        return false;
    }
    for (unsigned c = at.node->mNumChildren; c-- > 0;)
      if (at.node->mChildren && at.node->mChildren[c])
        stack.push_back({at.node->mChildren[c], transform});
  }
  return true;
}

bool IsFbx() { return std::string_view(kAssimpFormat.extension) == "fbx"; }

// Whether validation refused the scene for what only the appearance reads:
// texture coordinates ("UV" components, "mTextureCoords") or textures.
bool LookRefused(const Assimp::Importer& importer) {
  const char* why = importer.GetErrorString();
  std::string text = why ? why : "";
  const bool uv = Contains(text, "UV");
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return uv || Contains(text, "tex");
}

bool LoadScene(const char* path) {
  {
    File file(path);
    struct stat st;
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode))
      return Fail(kOpenFailed);
    if (st.st_size > kMaxFileBytes) return Fail(kTooLarge);
    char buf[4096];
    const size_t got = fread(buf, 1, sizeof buf, file.get());
    if (const char* bad =
            CheckHeaderLengths(std::string_view(buf, got), static_cast<uint64_t>(st.st_size)))
      return Fail(bad);
  }

  std::string name = path;
  const bool alias = !HasExtension(name, kAssimpFormat.extension);
  if (alias) name += std::string(".") + kAssimpFormat.extension;
  Assimp::Importer importer;
  bool readFailed = false;
  auto read = [&](bool look) {
    if (alias) importer.SetIOHandler(new AliasIOSystem(name, path));  // the importer owns it
    // The FBX reader can skip what would be thrown away. (Asking for no
    // skeleton meshes would not do: the Collada reader then drops skinned
    // meshes too.)
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_ANIMATIONS, false);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_CAMERAS, false);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_LIGHTS, false);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_TEXTURES, look);
    // Only positions, faces and materials are used, and for the appearance
    // the first texture coordinates and the embedded images. What else a
    // file holds is dropped first: that makes the later steps cheaper, and
    // validation then cannot reject a file for a light or a bone that would
    // not be shown.
    importer.SetPropertyInteger(
        AI_CONFIG_PP_RVC_FLAGS,
        aiComponent_NORMALS | aiComponent_TANGENTS_AND_BITANGENTS | aiComponent_COLORS |
            (look ? 0 : aiComponent_TEXCOORDS | aiComponent_TEXTURES) | aiComponent_BONEWEIGHTS |
            aiComponent_ANIMATIONS | aiComponent_LIGHTS | aiComponent_CAMERAS);
    const aiScene* scene = importer.ReadFile(name, aiProcess_RemoveComponent);
    readFailed = !scene;
    // Validation keeps the indices of a broken file from reaching us.
    return scene ? importer.ApplyPostProcessing(aiProcess_ValidateDataStructure) : nullptr;
  };
  const aiScene* scene = read(AppearanceWanted());
  // Validation may refuse a file for its texture coordinates or images
  // alone, and the FBX reader may fail on the textures it reads for them:
  // such a file loads as it did without them. Any other failure would only
  // come again (and repeat what assimp printed).
  if (!scene && AppearanceWanted() && (readFailed ? IsFbx() : LookRefused(importer)))
    scene = read(false);
  if (!scene) {
    const char* why = importer.GetErrorString();
    return Fail(why && *why ? why : kFailed);
  }
  return AddNodes(*scene);
}

}  // namespace

int32_t GetPluginVer(const char*) { return TARNELLE_PLUGIN_VERSION; }

const char* GetSupportInfo(int32_t which) {
  switch (which) {
    case 0:
      return kAssimpFormat.name;
    case 1:
      return kAssimpFormat.extension;
    default:
      return "";
  }
}

int32_t IsSupport(const char* path) {
  try {
    File file(path);
    if (!file) return 0;
    char buf[4096];
    const size_t got = fread(buf, 1, sizeof buf, file.get());
    return Signature(kAssimpFormat.extension, std::string_view(buf, got));
  } catch (...) {
    return 0;
  }
}

int32_t Load(const char* path) {
  g_msg[0] = '\0';
  try {
    return LoadScene(path) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    SetMessage(kNoMemory);
  } catch (...) {
    SetMessage(kFailed);
  }
  return 0;
}

const char* GetErrMsg(void) { return g_msg; }
