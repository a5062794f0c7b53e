// The PLY library on its own: header, then the body in any of the three
// encodings, with callbacks on the properties a model reader asks for and
// on a few others, so that skipped and read properties both run.
#include "fuzz/fuzz_entry.h"
#include "ply/ply.h"

namespace {

void QuietError(p_ply, const char*) {}

int Consume(p_ply_argument argument) {
  long length = 0, valueIndex = 0;
  ply_get_argument_property(argument, nullptr, &length, &valueIndex);
  long idata = 0;
  ply_get_argument_user_data(argument, nullptr, &idata);
  volatile double v = ply_get_argument_value(argument);
  (void)v;
  // The "stop" registration ends the reading from inside a callback.
  return idata == 1 && valueIndex > 2 ? 0 : 1;
}

}  // namespace

TARNELLE_FUZZ_ENTRY {
  const std::string& path = WriteFuzzInput(data, size, "ply");
  p_ply ply = ply_open(path.c_str(), QuietError, 0, nullptr);
  if (!ply) return 0;
  if (ply_read_header(ply)) {
    static const char* const kProps[][2] = {
        {"vertex", "x"},
        {"vertex", "y"},
        {"vertex", "z"},
        {"vertex", "red"},
        {"face", "vertex_indices"},
        {"face", "vertex_index"},
        {"face", "red"},
        {"tristrips", "vertex_indices"},
    };
    for (const auto& p : kProps) ply_set_read_cb(ply, p[0], p[1], Consume, nullptr, 0);
    ply_set_read_cb(ply, "stop", "list", Consume, nullptr, 1);
    ply_read(ply);
  }
  ply_close(ply);
  return 0;
}
