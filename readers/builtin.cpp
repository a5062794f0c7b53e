#include "readers/builtin.h"

#include "readers/obj.h"
#include "readers/stl.h"

namespace {

// Table order is part of the user interface: the format filter lists the
// readers in this order and tries them in it.
const BuiltinReader kBuiltins[] = {
    {"Wavefront", "*.obj", ObjIsSupport, ObjLoad, ObjGetErrMsg},
    {"STL format", "*.stl", StlIsSupport, StlLoad, StlGetErrMsg},
};

}  // namespace

std::span<const BuiltinReader> BuiltinReaders() { return kBuiltins; }
