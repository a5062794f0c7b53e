#include "readers/builtin.h"

#include "readers/dxf.h"
#include "readers/mqo.h"
#include "readers/obj.h"
#include "readers/stl.h"

namespace {

// Table order is part of the user interface: the format filter lists the
// readers in this order and tries them in it.
const BuiltinReader kBuiltins[] = {
    {"AutoCAD", "*.dxf", DxfIsSupport, DxfLoad, DxfGetErrMsg},
    {"Wavefront", "*.obj", ObjIsSupport, ObjLoad, ObjGetErrMsg},
    {"Metasequoia", "*.mqo", MqoIsSupport, MqoLoad, MqoGetErrMsg},
    {"STL format", "*.stl", StlIsSupport, StlLoad, StlGetErrMsg},
};

}  // namespace

std::span<const BuiltinReader> BuiltinReaders() { return kBuiltins; }
