/*
 * Tarnelle reader plug-in kit.
 *
 * A reader plug-in is a shared library (a MODULE, file name ending in ".so")
 * placed in the folder "Plugin" beside the tarnelle executable. At start-up
 * tarnelle opens every ".so" there, in byte order of the file names, and
 * keeps each library that provides the five exports below and answers the
 * version handshake. The library then reads its format exactly like a
 * built-in reader. It fills the model through the six _Pobj functions that
 * the executable exports, and, where its format has them, gives materials,
 * texture coordinates and embedded images through the appearance functions
 * at the end of this header.
 *
 * Rules:
 * - Define the five exports in one source file that includes this header,
 *   so that they get C linkage and default visibility. Build the library
 *   without "-Wl,--no-undefined": the _Pobj references stay open and are
 *   bound to the executable when tarnelle loads the library. The CMake
 *   function tarnelle_add_plugin (TarnellePlugin.cmake) does all of this.
 * - Every text is a NUL-terminated UTF-8 string. Every call comes from
 *   tarnelle's user-interface thread, one at a time.
 * - No C++ exception may leave an export.
 * - A library that lacks an export, answers another version, or returns a
 *   null text from GetSupportInfo is released again, silently.
 */
#ifndef TARNELLE_PLUGIN_H
#define TARNELLE_PLUGIN_H

#include <stdint.h>

/* What GetPluginVer must return for the library to be accepted. */
#define TARNELLE_PLUGIN_VERSION 1478492176 /* 0x58200010 */

#ifdef __cplusplus
#define TARNELLE_PLUGIN_C extern "C"
#else
#define TARNELLE_PLUGIN_C extern
#endif
#define TARNELLE_PLUGIN_API TARNELLE_PLUGIN_C __attribute__((visibility("default")))

/* ---- The five exports a plug-in provides ---- */

/* Called once, right after the library is opened, with the full path of the
 * running executable. Return TARNELLE_PLUGIN_VERSION. */
TARNELLE_PLUGIN_API int32_t GetPluginVer(const char* exePath);

/* Called with 0, then 1, once each at start-up; the texts are copied at
 * once. 0: the format's display name (shown in the format filter and the
 * log). 1: the file extension without "*." and without a dot, e.g. "off".
 * Tarnelle lower-cases it and matches it against the lower-cased extension
 * of a file, so "OFF" serves "x.off" and "X.OFF" alike. Several extensions
 * may be given as "off;coff"; only the first one then shows in the file
 * list's mask. */
TARNELLE_PLUGIN_API const char* GetSupportInfo(int32_t which);

/* Whether the file at path is in this format: 1 yes, -1 no, 0 cannot tell.
 * Called before Load for files of the plug-in's extension or when its item
 * is chosen in the format filter (-1 skips Load), and, when no reader took a
 * file, for files of any extension (only 1 leads to Load then). Must not
 * touch the model. */
TARNELLE_PLUGIN_API int32_t IsSupport(const char* path);

/* Reads the file at path into the model, which is empty on entry, through
 * the _Pobj functions. Only the low byte of the result counts: return 1 on
 * success, 0 on failure, and keep the reason for GetErrMsg. A file read
 * without error but without polygons counts as loaded (tarnelle reports that
 * it found no polygon). Polygons with an index outside the vertex list are
 * dropped by tarnelle after a successful Load; a reader that meets such an
 * index should rather fail with a message that names it. */
TARNELLE_PLUGIN_API int32_t Load(const char* path);

/* The reason of the last failed Load, shown in the log as "..." and the
 * text. Keep it in a buffer of the plug-in; it must stay valid until the
 * next call into the plug-in. A null or empty text means "no reason": other
 * readers that recognise the file are then tried. */
TARNELLE_PLUGIN_API const char* GetErrMsg(void);

/* ---- The six functions the executable offers, only during Load ---- */

/* Empties the model: both counts become 0. */
TARNELLE_PLUGIN_C void _PobjClearObject(void);

/* Appends a vertex; returns its index (0 for the first), -1 when out of
 * memory. */
TARNELLE_PLUGIN_C int32_t _PobjAddVertex(float x, float y, float z);

/* Appends a polygon of nv corners (0-based vertex indices, copied; the
 * caller keeps its array). It has no colour of its own until
 * _PobjSetPolygonColor gives it one. Returns its index, or -1 (nothing
 * added) for nv < 0, a null array or no memory. */
TARNELLE_PLUGIN_C int32_t _PobjAddPolygon(int32_t nv, const int32_t* index);

/* Gives polygon p its own colour, rgb[0..2] from 0 to 1. An index outside
 * the polygon list is ignored. */
TARNELLE_PLUGIN_C void _PobjSetPolygonColor(int32_t p, const float* rgb);

/* The current vertex and polygon counts. */
TARNELLE_PLUGIN_C int32_t _PobjGetNv(void);
TARNELLE_PLUGIN_C int32_t _PobjGetNp(void);

/* ---- The appearance functions, only during Load ----
 *
 * How the surfaces look beyond their geometry: materials with a base
 * colour, an opacity and a diffuse image, per-corner texture coordinates,
 * and images embedded in the model file. They change nothing the six
 * functions above build: polygon colours, counts and indices stay as they
 * are, and a plug-in that never calls them loads as before.
 *
 * Which executables have them: they came after the first kit, and
 * TARNELLE_PLUGIN_VERSION stayed the same, so that plug-ins built before
 * them keep loading. A plug-in built with this header therefore loads in
 * an executable with or without them: they are declared weak, and each is
 * a null pointer where the executable lacks it. Test before the call, once
 * per function, e.g.
 *
 *     if (_PobjSetMaterial) _PobjSetMaterial(0, 1.0f, 0.5f, 0.5f, 1.0f, "skin.png");
 *
 * TARNELLE_PLUGIN_APPEARANCE tells code compiled against a header that
 * declares them; the null test tells whether the running executable has
 * them. An old plug-in never calls them and needs nothing.
 *
 * Every call checks its arguments: an index out of range, a null pointer
 * where data is needed, a size beyond the limits below, or no memory
 * returns -1 and changes nothing. Limits per model: 65536 materials, 4096
 * bytes of texture name, 1024 embedded images of 256 MiB together, 15
 * bytes of format hint.
 *
 * Texture coordinates are OpenGL's, as OBJ files have them: (0, 0) is the
 * lower left corner of the image, u grows to the right and v upwards. */
#define TARNELLE_PLUGIN_APPEARANCE 1
#define TARNELLE_PLUGIN_WEAK __attribute__((weak))

/* Sets material m (0 or more): its base colour r, g, b and its opacity
 * (1 opaque, 0 invisible), each from 0 to 1 (values outside are clamped),
 * and its diffuse image: texture is a file name as the model names it,
 * resolved against the model's folder (never above it), "*N" for image N
 * of _PobjAddImage, or null or "" for none. Materials below m that were
 * never set are white and opaque. Setting m again replaces it. Returns m. */
TARNELLE_PLUGIN_C int32_t _PobjSetMaterial(int32_t m, float r, float g, float b, float opacity,
                                           const char* texture) TARNELLE_PLUGIN_WEAK;

/* Gives polygon p material m, which must be set already; -1 takes the
 * material away. Polygons never given one have none (they are drawn as
 * without appearance). Returns p. */
TARNELLE_PLUGIN_C int32_t _PobjSetPolygonMaterial(int32_t p, int32_t m) TARNELLE_PLUGIN_WEAK;

/* Sets the texture coordinates of polygon p's corners: nv must be its
 * corner count and uv holds nv pairs u, v in the order of the corners
 * given to _PobjAddPolygon (copied). Corners never given coordinates lie
 * at (0, 0). Returns p. */
TARNELLE_PLUGIN_C int32_t _PobjSetPolygonUV(int32_t p, int32_t nv,
                                            const float* uv) TARNELLE_PLUGIN_WEAK;

/* Adds an image embedded in the model file: bytes bytes at data, encoded
 * as a file would hold them (PNG, JPEG, ...; copied), and hint, the format
 * as a file extension such as "png", or null or "" when unknown (a hint
 * other than letters and digits counts as none). Returns the image's
 * number N, 0 for the first, which a material names as "*N". */
TARNELLE_PLUGIN_C int32_t _PobjAddImage(const char* hint, const void* data,
                                        int32_t bytes) TARNELLE_PLUGIN_WEAK;

#endif /* TARNELLE_PLUGIN_H */
