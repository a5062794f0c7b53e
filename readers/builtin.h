// The built-in readers, in their table order.
#pragma once

#include <span>

#include "core/reader_table.h"

std::span<const BuiltinReader> BuiltinReaders();
