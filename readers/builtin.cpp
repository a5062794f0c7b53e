#include "readers/builtin.h"

#include "readers/3ds.h"
#include "readers/cob.h"
#include "readers/dxf.h"
#include "readers/lwo.h"
#include "readers/mqo.h"
#include "readers/obj.h"
#include "readers/ply.h"
#include "readers/rok.h"
#include "readers/stl.h"

namespace {

// Table order is part of the user interface: the format filter lists the
// readers in this order and tries them in it.
const BuiltinReader kBuiltins[] = {
    {"AutoCAD", "*.dxf", DxfIsSupport, DxfLoad, DxfGetErrMsg},
    {"Wavefront", "*.obj", ObjIsSupport, ObjLoad, ObjGetErrMsg},
    {"3D StudioMAX", "*.3ds", TdsIsSupport, TdsLoad, TdsGetErrMsg},
    {"LightWave3D", "*.lwo", LwoIsSupport, LwoLoad, LwoGetErrMsg},
    {"Metasequoia", "*.mqo", MqoIsSupport, MqoLoad, MqoGetErrMsg},
    {"六角大王", "*.rok", RokIsSupport, RokLoad, RokGetErrMsg},
    {"Stanford Univ. Polygon format", "*.ply", PlyIsSupport, PlyLoad, PlyGetErrMsg},
    {"Caligari TrueSpace", "*.cob", CobIsSupport, CobLoad, CobGetErrMsg},
    {"STL format", "*.stl", StlIsSupport, StlLoad, StlGetErrMsg},
};

}  // namespace

std::span<const BuiltinReader> BuiltinReaders() { return kBuiltins; }
