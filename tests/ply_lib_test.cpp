// The PLY library on its own: small headers and bodies written in all three
// encodings, read back through callbacks that log every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ply/ply.h"
#include "tests/test_util.h"

namespace {

enum class Enc { kAscii, kLittle, kBig };
const Enc kAllEncodings[] = {Enc::kAscii, Enc::kLittle, Enc::kBig};

const char* FormatName(Enc e) {
  return e == Enc::kAscii    ? "ascii"
         : e == Enc::kLittle ? "binary_little_endian"
                             : "binary_big_endian";
}

struct Val {
  e_ply_type type;
  double v;
};
Val I8(double v) { return {PLY_INT8, v}; }
Val U8(double v) { return {PLY_UINT8, v}; }
Val I16(double v) { return {PLY_INT16, v}; }
Val U16(double v) { return {PLY_UINT16, v}; }
Val I32(double v) { return {PLY_INT32, v}; }
Val U32(double v) { return {PLY_UINT32, v}; }
Val F32(double v) { return {PLY_FLOAT32, v}; }
Val F64(double v) { return {PLY_FLOAT64, v}; }
using Row = std::vector<Val>;

void PutBytes(std::string& out, uint64_t bits, int size, bool big) {
  for (int i = 0; i < size; ++i) {
    const int shift = 8 * (big ? size - 1 - i : i);
    out.push_back(static_cast<char>((bits >> shift) & 0xFF));
  }
}

void Put(std::string& out, Enc enc, Val val) {
  if (enc == Enc::kAscii) {
    char buf[64];
    if (val.type == PLY_FLOAT32 || val.type == PLY_FLOAT64)
      snprintf(buf, sizeof buf, "%.17g ", val.v);
    else
      snprintf(buf, sizeof buf, "%lld ", static_cast<long long>(val.v));
    out += buf;
    return;
  }
  const bool big = enc == Enc::kBig;
  switch (val.type) {
    case PLY_INT8:
    case PLY_UINT8:
      PutBytes(out, static_cast<uint64_t>(static_cast<int64_t>(val.v)), 1, big);
      break;
    case PLY_INT16:
    case PLY_UINT16:
      PutBytes(out, static_cast<uint64_t>(static_cast<int64_t>(val.v)), 2, big);
      break;
    case PLY_INT32:
    case PLY_UINT32:
      PutBytes(out, static_cast<uint64_t>(static_cast<int64_t>(val.v)), 4, big);
      break;
    case PLY_FLOAT32: {
      const float f = static_cast<float>(val.v);
      uint32_t u;
      memcpy(&u, &f, 4);
      PutBytes(out, u, 4, big);
      break;
    }
    default: {
      uint64_t u;
      memcpy(&u, &val.v, 8);
      PutBytes(out, u, 8, big);
      break;
    }
  }
}

std::string Body(Enc enc, const std::vector<Row>& rows) {
  std::string out;
  for (const Row& row : rows) {
    for (const Val& v : row) Put(out, enc, v);
    if (enc == Enc::kAscii) out.back() = '\n';
  }
  return out;
}

// The header text with "FMT" replaced by the encoding's name.
std::string Header(const std::string& text, Enc enc) {
  std::string h = text;
  const size_t at = h.find("FMT");
  if (at != std::string::npos) h.replace(at, 3, FormatName(enc));
  return h;
}

struct Recorder {
  std::vector<std::string> log;
  size_t stopAt = SIZE_MAX;  // the call (1-based) that returns 0
};

int Record(p_ply_argument arg) {
  p_ply_element el = nullptr;
  long instance = 0;
  ply_get_argument_element(arg, &el, &instance);
  p_ply_property pr = nullptr;
  long length = 0, index = 0;
  ply_get_argument_property(arg, &pr, &length, &index);
  void* pdata = nullptr;
  ply_get_argument_user_data(arg, &pdata, nullptr);
  const char *elName, *prName;
  ply_get_element_info(el, &elName, nullptr);
  e_ply_type type;
  ply_get_property_info(pr, &prName, &type, nullptr, nullptr);
  char buf[256];
  if (type == PLY_LIST)
    snprintf(buf, sizeof buf, "%s.%s#%ld[%ld,%ld]=%.10g", elName, prName, instance, length, index,
             ply_get_argument_value(arg));
  else
    snprintf(buf, sizeof buf, "%s.%s#%ld=%.10g", elName, prName, instance,
             ply_get_argument_value(arg));
  auto* rec = static_cast<Recorder*>(pdata);
  rec->log.push_back(buf);
  return rec->log.size() == rec->stopAt ? 0 : 1;
}

// A list callback's call logged as the length call and the item calls it
// stands for.
int RecordList(p_ply_argument arg, long, const double* values, long count) {
  if (!Record(arg)) return 0;
  for (long k = 0; k < count; ++k) {
    arg->value_index = k;
    arg->value = values[k];
    if (!Record(arg)) return 0;
  }
  return 1;
}

void CollectError(p_ply ply, const char* message) {
  void* pdata;
  ply_get_ply_user_data(ply, &pdata, nullptr);
  static_cast<std::vector<std::string>*>(pdata)->push_back(message);
}

struct Result {
  bool opened = false, header = false, read = false;
  std::vector<std::string> log, errors;
  std::vector<long> counts;  // what each registration returned
};

// Opens bytes as a file, reads the header, registers "element.property"
// names (lists with a list callback when `lists` is set) and reads the body.
Result ReadPly(const std::string& bytes, const std::vector<std::string>& regs,
               size_t stopAt = SIZE_MAX, bool lists = false) {
  Result r;
  Recorder rec;
  rec.stopAt = stopAt;
  const std::string path = WriteTemp("lib.ply", bytes);
  p_ply ply = ply_open(path.c_str(), CollectError, 0, &r.errors);
  r.opened = ply != nullptr;
  if (!ply) return r;
  r.header = ply_read_header(ply) != 0;
  if (r.header) {
    for (const std::string& reg : regs) {
      const size_t dot = reg.find('.');
      const std::string el = reg.substr(0, dot), pr = reg.substr(dot + 1);
      long count = lists ? ply_set_list_cb(ply, el.c_str(), pr.c_str(), RecordList, &rec, 0) : 0;
      if (count == 0) count = ply_set_read_cb(ply, el.c_str(), pr.c_str(), Record, &rec, 0);
      r.counts.push_back(count);
    }
    r.read = ply_read(ply) != 0;
  }
  ply_close(ply);
  r.log = rec.log;
  return r;
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += x + "\n";
  return s;
}

struct BodyCase {
  const char* name;
  std::string header;  // "FMT" stands for the encoding
  std::vector<Row> rows;
  std::vector<std::string> regs;
  std::vector<std::string> expected;
};

std::vector<BodyCase> BodyCases() {
  return {
      {"scalar types under old and sized names",
       "ply\nformat FMT 1.0\n"
       "element v 1\nproperty char a\nproperty uchar b\nproperty short c\nproperty ushort d\n"
       "property int e\nproperty uint f\nproperty float g\nproperty double h\n"
       "element w 1\nproperty int8 a\nproperty uint8 b\nproperty int16 c\nproperty uint16 d\n"
       "property int32 e\nproperty uint32 f\nproperty float32 g\nproperty float64 h\n"
       "end_header\n",
       {{I8(-128), U8(255), I16(-32768), U16(65535), I32(-2147483648.0), U32(4294967295.0),
         F32(1.5), F64(-2.25)},
        {I8(127), U8(0), I16(32767), U16(1), I32(2147483647), U32(7), F32(-0.5), F64(1e300)}},
       {"v.a", "v.b", "v.c", "v.d", "v.e", "v.f", "v.g", "v.h", "w.a", "w.b", "w.c", "w.d", "w.e",
        "w.f", "w.g", "w.h"},
       {"v.a#0=-128", "v.b#0=255", "v.c#0=-32768", "v.d#0=65535", "v.e#0=-2147483648",
        "v.f#0=4294967295", "v.g#0=1.5", "v.h#0=-2.25", "w.a#0=127", "w.b#0=0", "w.c#0=32767",
        "w.d#0=1", "w.e#0=2147483647", "w.f#0=7", "w.g#0=-0.5", "w.h#0=1e+300"}},
      {"lists with any length and item types",
       "ply\nformat FMT 1.0\nelement f 2\nproperty list uchar int i\n"
       "property list ushort double w\nproperty list char uint n\n"
       "property list float uint16 c\nend_header\n",
       {{U8(3), I32(0), I32(1), I32(-2), U16(1), F64(0.5), I8(-1), F32(2), U16(7), U16(8)},
        {U8(0), U16(2), F64(1.5), F64(2.5), I8(1), U32(4000000000.0), F32(0)}},
       {"f.i", "f.w", "f.n", "f.c"},
       {"f.i#0[3,-1]=3", "f.i#0[3,0]=0", "f.i#0[3,1]=1", "f.i#0[3,2]=-2", "f.w#0[1,-1]=1",
        "f.w#0[1,0]=0.5", "f.n#0[0,-1]=-1", "f.c#0[2,-1]=2", "f.c#0[2,0]=7", "f.c#0[2,1]=8",
        "f.i#1[0,-1]=0", "f.w#1[2,-1]=2", "f.w#1[2,0]=1.5", "f.w#1[2,1]=2.5", "f.n#1[1,-1]=1",
        "f.n#1[1,0]=4000000000", "f.c#1[0,-1]=0"}},
      {"unregistered properties and elements are skipped",
       "ply\nformat FMT 1.0\ncomment made by hand\nobj_info nothing here\n"
       "element skip 2\nproperty list uchar float junk\nproperty double d\n"
       "element pad 3\nproperty double a\nproperty int b\n"
       "element empty 1000000000000\n"
       "element vertex 2\nproperty float x\nproperty float nx\nproperty float y\n"
       "property uchar red\nproperty float z\n"
       "element tail 1\nproperty list int uchar t\nproperty short s\nend_header\n",
       {{U8(2), F32(1.5), F32(2.5), F64(9)},
        {U8(0), F64(1)},
        {F64(1), I32(2)},
        {F64(3), I32(4)},
        {F64(5), I32(6)},
        {F32(1), F32(0), F32(2), U8(255), F32(3)},
        {F32(4), F32(0), F32(5), U8(0), F32(6)},
        {I32(3), U8(1), U8(2), U8(3), I16(-5)}},
       {"vertex.x", "vertex.y", "vertex.z", "tail.s"},
       {"vertex.x#0=1", "vertex.y#0=2", "vertex.z#0=3", "vertex.x#1=4", "vertex.y#1=5",
        "vertex.z#1=6", "tail.s#0=-5"}},
      // Body bytes equal to CR, LF and blank must not be taken for the end
      // of the header line.
      {"CR LF header lines and a body that starts with line-end bytes",
       "ply\r\nformat FMT 1.0\r\ncomment CR LF\r\n\r\nelement v 3\r\nproperty uchar a\r\n"
       "end_header\r\n",
       {{U8(10)}, {U8(13)}, {U8(32)}},
       {"v.a"},
       {"v.a#0=10", "v.a#1=13", "v.a#2=32"}},
  };
}

// List callbacks see what item callbacks see, whole or cut anywhere.
TEST(PlyLibrary, ReadsBodiesInEveryEncoding) {
  for (const BodyCase& c : BodyCases()) {
    for (Enc enc : kAllEncodings) {
      for (bool lists : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + " / " + FormatName(enc) + (lists ? " / lists" : ""));
        const Result r =
            ReadPly(Header(c.header, enc) + Body(enc, c.rows), c.regs, SIZE_MAX, lists);
        ASSERT_TRUE(r.header) << Joined(r.errors);
        EXPECT_TRUE(r.read) << Joined(r.errors);
        EXPECT_EQ(Joined(r.log), Joined(c.expected));
        EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
      }
    }
  }
}

// Cut anywhere, a body fails with a message naming the element, after the
// callbacks for the values that were there.
TEST(PlyLibrary, TruncatedBodiesFailAfterTheValuesPresent) {
  for (const BodyCase& c : BodyCases()) {
    for (Enc enc : kAllEncodings) {
      const std::string header = Header(c.header, enc), body = Body(enc, c.rows);
      for (size_t cut = 0; cut < 2 * body.size(); ++cut) {
        const bool lists = cut >= body.size();
        SCOPED_TRACE(std::string(c.name) + " / " + FormatName(enc) + " cut at " +
                     std::to_string(cut % body.size()) + (lists ? " / lists" : ""));
        const Result r =
            ReadPly(header + body.substr(0, cut % body.size()), c.regs, SIZE_MAX, lists);
        ASSERT_TRUE(r.header);
        ASSERT_LE(r.log.size(), c.expected.size());
        // A text token cut short can still be a number: only the last
        // value seen may differ.
        const size_t same = enc == Enc::kAscii && !r.log.empty() ? r.log.size() - 1 : r.log.size();
        EXPECT_TRUE(std::equal(r.log.begin(), r.log.begin() + same, c.expected.begin()));
        if (r.read) {
          // Only a text body cut inside its last token or line end reads whole.
          EXPECT_EQ(enc, Enc::kAscii);
          EXPECT_EQ(r.log.size(), c.expected.size());
        } else {
          ASSERT_EQ(r.errors.size(), 1u);
          EXPECT_EQ(r.errors[0].rfind("Error reading '", 0), 0u) << r.errors[0];
        }
      }
    }
  }
}

TEST(PlyLibrary, CallbackReturningZeroStopsTheRead) {
  const BodyCase c = BodyCases()[1];
  for (Enc enc : kAllEncodings) {
    SCOPED_TRACE(FormatName(enc));
    const Result r = ReadPly(Header(c.header, enc) + Body(enc, c.rows), c.regs, 3);
    EXPECT_TRUE(r.header);
    EXPECT_FALSE(r.read);
    EXPECT_EQ(Joined(r.log),
              Joined(std::vector<std::string>(c.expected.begin(), c.expected.begin() + 3)));
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("'i' of 'f' number 0"), std::string::npos) << r.errors[0];
  }
}

TEST(PlyLibrary, RegistrationReturnsInstanceCounts) {
  const Result r = ReadPly(
      "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nelement face 0\n"
      "property list uchar int vertex_indices\nend_header\n1\n2\n",
      {"vertex.x", "vertex.y", "face.vertex_indices", "edge.x", "vertex.vertex_indices"});
  EXPECT_TRUE(r.read);
  EXPECT_EQ(r.counts, (std::vector<long>{2, 0, 0, 0, 0}));
  EXPECT_EQ(Joined(r.log), "vertex.x#0=1\nvertex.x#1=2\n");
}

TEST(PlyLibrary, CallsOutOfOrderAreRefused) {
  std::vector<std::string> errors;
  const std::string path = WriteTemp(
      "order.ply", "ply\nformat ascii 1.0\nelement v 1\nproperty float x\nend_header\n1\n");
  p_ply ply = ply_open(path.c_str(), CollectError, 0, &errors);
  ASSERT_NE(ply, nullptr);
  EXPECT_EQ(ply_set_read_cb(ply, "v", "x", Record, nullptr, 0), 0);  // before the header
  EXPECT_EQ(ply_read(ply), 0);
  EXPECT_EQ(ply_get_storage_mode(ply), PLY_ASCII);
  EXPECT_EQ(ply_read_header(ply), 1);
  EXPECT_EQ(ply_read_header(ply), 0);
  EXPECT_EQ(ply_read(ply), 1);
  EXPECT_EQ(ply_read(ply), 0);  // the body is read once
  EXPECT_EQ(ply_close(ply), 1);
  EXPECT_EQ(errors.size(), 3u);
  EXPECT_EQ(ply_close(nullptr), 0);
}

TEST(PlyLibrary, OpenFailures) {
  struct Case {
    const char* name;
    const char* bytes;  // null: no such file
    const char* message;
  } cases[] = {
      {"missing file", nullptr, "Unable to open file"},
      {"empty file", "", "Not a PLY file"},
      {"short file", "pl", "Not a PLY file"},
      {"other magic", "plx\nformat ascii 1.0\n", "Not a PLY file"},
      {"magic without line end", "plyformat ascii 1.0\n", "Not a PLY file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> errors;
    const std::string path =
        c.bytes ? WriteTemp("open.ply", c.bytes) : TempDir() + "/does-not-exist.ply";
    EXPECT_EQ(ply_open(path.c_str(), CollectError, 0, &errors), nullptr);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(c.message, 0), 0u) << errors[0];
  }
}

TEST(PlyLibrary, HeaderErrors) {
  struct Case {
    const char* header;
    const char* message;
  } cases[] = {
      {"ply\nformat ascii 1.0\nelement v 1\nproperty float x\n", "Unexpected end of file"},
      {"ply\nformat binary_little_endian 1.0\nelement v 1\nproperty float x\nend_heade\n",
       "Unexpected token 'end_heade'"},
      {"ply\nformat ascii 1.0\nCreated by hand\nend_header\n", "Unexpected token 'Created'"},
      {"ply\nformat ascii 1.0\nelement v 1\nproperty int64 x\nend_header\n",
       "Unknown type in property 'x' of element 'v'"},
      {"ply\nformat ascii 1.0\nelement v 1\nproperty list uchar half x\nend_header\n",
       "Unknown type in property 'x'"},
      {"ply\nformat ascii 1.0\nelement v 1\nproperty list uchar x\nend_header\n",
       "Invalid property line"},
      {"ply\nformat ascii 1.0\nproperty float x\nend_header\n",
       "Property 'x' comes before any element"},
      {"ply\nformat ascii 2.0\nend_header\n", "Unsupported format version '2.0'"},
      {"ply\nformat binary_middle_endian 1.0\nend_header\n", "Unknown format"},
      {"ply\nformat ascii 1.0\nformat ascii 1.0\nend_header\n", "Invalid format line"},
      {"ply\nelement v 1\nend_header\n", "Missing format line"},
      {"ply\nformat ascii 1.0\nelement v -1\nend_header\n", "Invalid instance count '-1'"},
      {"ply\nformat ascii 1.0\nelement v 99999999999999999999\nend_header\n",
       "Invalid instance count"},
      {"ply\nformat ascii 1.0\nelement v 1 2\nend_header\n", "Invalid element line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    const Result r = ReadPly(c.header, {});
    ASSERT_TRUE(r.opened);
    EXPECT_FALSE(r.header);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].rfind(c.message, 0), 0u) << r.errors[0];
  }
}

TEST(PlyLibrary, OldMacLineEndsInTextFiles) {
  const Result r = ReadPly(
      "ply\rformat ascii 1.0\relement v 2\rproperty float x\rend_header\r1.5\r-2\r", {"v.x"});
  EXPECT_TRUE(r.read) << Joined(r.errors);
  EXPECT_EQ(Joined(r.log), "v.x#0=1.5\nv.x#1=-2\n");
}

TEST(PlyLibrary, TextValuesMustFitTheirType) {
  struct Case {
    const char* type;
    const char* token;
    bool ok;
    const char* logged;
  } cases[] = {
      {"uchar", "256", false, ""},
      {"char", "-129", false, ""},
      {"uint", "-1", false, ""},
      {"int", "1.5", false, ""},
      {"int", "+7", true, "v.x#0=7"},
      {"float", "abc", false, ""},
      {"float", "1.5.", false, ""},
      {"double", "+2.5e1", true, "v.x#0=25"},
      {"double", "1e999", true, "v.x#0=inf"},
      {"double", "-1e-999", true, "v.x#0=-0"},
      {"float", "nan", true, "v.x#0=nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.token);
    const Result r = ReadPly(std::string("ply\nformat ascii 1.0\nelement v 1\nproperty ") + c.type +
                                 " x\nend_header\n" + c.token + "\n",
                             {"v.x"});
    EXPECT_EQ(r.read, c.ok);
    EXPECT_EQ(r.log.empty() ? "" : r.log[0], c.logged);
    if (!c.ok) {
      ASSERT_EQ(r.errors.size(), 1u);
      EXPECT_EQ(r.errors[0], "Error reading 'x' of 'v' number 0");
    }
  }
}

int CollectValue(p_ply_argument arg) {
  void* pdata = nullptr;
  ply_get_argument_user_data(arg, &pdata, nullptr);
  static_cast<std::vector<double>*>(pdata)->push_back(ply_get_argument_value(arg));
  return 1;
}

// Text numbers in many written forms read as the correctly rounded double,
// the same as a full conversion gives, wherever they fall in the buffer.
TEST(PlyLibrary, TextNumbersMatchAFullConversion) {
  std::vector<std::string> tokens = {"0",
                                     "-0",
                                     "0.0000001",
                                     "1234567.1234567",
                                     "12345678.5",
                                     "9007199254740993",
                                     "0.1",
                                     "123456789012345678901234567890",
                                     ".5",
                                     "5.",
                                     "-.25",
                                     "+.75",
                                     "0000012.5000",
                                     "1e22",
                                     "1e23",
                                     "4.9e-324",
                                     "1.7976931348623157e308",
                                     "2.2250738585072011e-308",
                                     "7.0E-10",
                                     "99999999.99999999",
                                     "0.30000000000000004",
                                     "1234567.12345678"};
  std::mt19937_64 rng(3);
  const char* formats[] = {"%.6f", "%f", "%g", "%.9g", "%.17g", "%.3e", "%.0f", "%.12f", "%+.4f"};
  char buf[64];
  while (tokens.size() < 100000) {
    const double mag = std::pow(10.0, static_cast<double>(rng() % 61) - 30);
    const double v = (static_cast<double>(rng() % 2000001) / 1e6 - 1.0) * (rng() % 3 ? 10 : mag);
    snprintf(buf, sizeof buf, formats[rng() % 9], v);
    tokens.push_back(buf);
  }
  std::string file = "ply\nformat ascii 1.0\nelement v " + std::to_string(tokens.size()) +
                     "\nproperty double x\nelement n 3000\nproperty uint i\nend_header\n";
  const char* gaps[] = {"\n", " ", "\t", "\r\n", "  \n"};
  for (const std::string& t : tokens) file += t + gaps[rng() % 5];
  std::vector<uint32_t> ints;
  for (int k = 0; k < 3000; ++k) {
    const uint32_t u = static_cast<uint32_t>(rng() >> (32 + rng() % 32));
    ints.push_back(u);
    file += std::to_string(u) + gaps[k % 5];
  }
  std::vector<double> reals, readInts;
  const std::string path = WriteTemp("numbers.ply", file);
  p_ply ply = ply_open(path.c_str(), nullptr, 0, nullptr);
  ASSERT_NE(ply, nullptr);
  ASSERT_TRUE(ply_read_header(ply));
  ply_set_read_cb(ply, "v", "x", CollectValue, &reals, 0);
  ply_set_read_cb(ply, "n", "i", CollectValue, &readInts, 0);
  EXPECT_TRUE(ply_read(ply));
  ply_close(ply);
  ASSERT_EQ(reals.size(), tokens.size());
  for (size_t k = 0; k < tokens.size(); ++k) {
    const std::string& t = tokens[k];
    double expect = 0;
    const char* b = t.c_str() + (t[0] == '+');
    std::from_chars(b, t.c_str() + t.size(), expect);
    ASSERT_EQ(std::memcmp(&reals[k], &expect, 8), 0) << t << " read as " << reals[k];
  }
  ASSERT_EQ(readInts.size(), ints.size());
  for (size_t k = 0; k < ints.size(); ++k) ASSERT_EQ(readInts[k], ints[k]);
}

// Counts no file could hold fail where the data ends, at once, without
// allocating for them.
TEST(PlyLibrary, AbsurdCountsFailAtTheEndOfTheData) {
  struct Case {
    const char* name;
    Enc enc;
    const char* header;
    std::vector<Row> rows;
    std::vector<std::string> regs;
    const char* message;  // null: the read succeeds
  } cases[] = {
      {"2^31 vertices, text",
       Enc::kAscii,
       "element vertex 2147483648\nproperty float x\nproperty float y\nproperty float z\n",
       {{F32(1), F32(2), F32(3)}},
       {"vertex.x", "vertex.z"},
       "Error reading 'x' of 'vertex' number 1"},
      {"2^31 vertices, binary",
       Enc::kLittle,
       "element vertex 2147483648\nproperty float x\nproperty float y\nproperty float z\n",
       {{F32(1), F32(2), F32(3)}, {F32(4)}},
       {"vertex.x", "vertex.z"},
       "Error reading 'y' of 'vertex' number 1"},
      {"2^62 unread rows, binary",
       Enc::kBig,
       "element vertex 4611686018427387904\nproperty float x\nproperty double y\n",
       {{F32(1), F64(2)}, {F32(3)}},
       {},
       "Error reading 'y' of 'vertex' number 1"},
      {"rows without properties",
       Enc::kLittle,
       "element nothing 999999999999999999\n",
       {},
       {},
       nullptr},
      {"list of 2^31, binary",
       Enc::kLittle,
       "element face 1\nproperty list uint int vertex_indices\n",
       {{U32(2147483648.0), I32(5), I32(6)}},
       {"face.vertex_indices"},
       "Error reading 'vertex_indices' of 'face' number 0"},
      {"unread list of 2^32 - 1, binary",
       Enc::kBig,
       "element face 1\nproperty list uint int vertex_indices\n",
       {{U32(4294967295.0), I32(5)}},
       {},
       "Error reading 'vertex_indices' of 'face' number 0"},
      {"list of 2^32 - 1, text",
       Enc::kAscii,
       "element face 1\nproperty list uint int vertex_indices\n",
       {{U32(4294967295.0), I32(5)}},
       {"face.vertex_indices"},
       "Error reading 'vertex_indices' of 'face' number 0"},
      {"list length 1e300",
       Enc::kLittle,
       "element face 1\nproperty list double int v\n",
       {{F64(1e300), I32(5)}},
       {},
       "Error reading 'v' of 'face' number 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = std::string("ply\nformat ") + FormatName(c.enc) + " 1.0\n" +
                              c.header + "end_header\n" + Body(c.enc, c.rows);
    const Result r = ReadPly(bytes, c.regs);
    ASSERT_TRUE(r.header) << Joined(r.errors);
    EXPECT_EQ(r.read, c.message == nullptr);
    if (c.message) {
      ASSERT_EQ(r.errors.size(), 1u);
      EXPECT_EQ(r.errors[0], c.message);
    }
  }
}

// Faces of one byte-counted list are read a whole face at a time; cut
// anywhere, the read names the face where the data ends.
TEST(PlyLibrary, ByteCountedFacesCutAnywhere) {
  constexpr int kFaces = 600;
  for (Enc enc : {Enc::kLittle, Enc::kBig}) {
    for (const char* type : {"int", "uint32"}) {
      SCOPED_TRACE(std::string(FormatName(enc)) + " " + type);
      const std::string header = std::string("ply\nformat ") + FormatName(enc) +
                                 " 1.0\nelement face 600\nproperty list uchar " + type +
                                 " vertex_indices\nend_header\n";
      std::vector<Row> rows;
      std::vector<size_t> ends;  // body offset where each face ends
      std::string body;
      for (int f = 0; f < kFaces; ++f) {
        Row row{U8(f % 7)};
        for (int k = 0; k < f % 7; ++k)
          row.push_back(type[0] == 'i' ? I32(-f * 10 - k) : U32(f * 10 + k));
        body += Body(enc, {row});
        ends.push_back(body.size());
      }
      const Result whole = ReadPly(header + body, {"face.vertex_indices"});
      ASSERT_TRUE(whole.read) << Joined(whole.errors);
      size_t calls = 0;
      for (int f = 0; f < kFaces; ++f) calls += 1 + f % 7;
      ASSERT_EQ(whole.log.size(), calls);
      EXPECT_EQ(whole.log[1], "face.vertex_indices#1[1,-1]=1");
      EXPECT_EQ(whole.log.back(), type[0] == 'i' ? "face.vertex_indices#599[4,3]=-5993"
                                                 : "face.vertex_indices#599[4,3]=5993");
      const Result lists = ReadPly(header + body, {"face.vertex_indices"}, SIZE_MAX, true);
      EXPECT_TRUE(lists.read);
      EXPECT_TRUE(lists.log == whole.log);
      for (size_t cut = 1; cut < 2 * body.size(); cut += 97) {
        const Result r = ReadPly(header + body.substr(0, cut % body.size()),
                                 {"face.vertex_indices"}, SIZE_MAX, cut >= body.size());
        const size_t face =
            std::upper_bound(ends.begin(), ends.end(), cut % body.size()) - ends.begin();
        ASSERT_FALSE(r.read);
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.errors[0],
                  "Error reading 'vertex_indices' of 'face' number " + std::to_string(face));
      }
    }
  }
}

// Bodies larger than the input buffer, long lists and wide rows take the
// paths that read value by value.
TEST(PlyLibrary, LargeBodiesListsAndRows) {
  constexpr int kRows = 120000, kLongList = 5000, kWide = 600;
  std::string header =
      "ply\nformat FMT 1.0\nelement v 120000\nproperty double x\nproperty list uchar int i\n"
      "element l 1\nproperty list ushort uint items\nelement wide 2\n";
  for (int k = 0; k < kWide; ++k) header += "property double p" + std::to_string(k) + "\n";
  header += "end_header\n";
  std::vector<Row> rows;
  for (int r = 0; r < kRows; ++r)
    rows.push_back({F64(r * 0.125 - 7), U8(3), I32(r), I32(r + 1), I32(-r)});
  Row list{U16(kLongList)};
  for (int k = 0; k < kLongList; ++k) list.push_back(U32(k * 3));
  rows.push_back(list);
  for (int w = 0; w < 2; ++w) {
    Row row;
    for (int k = 0; k < kWide; ++k) row.push_back(F64(w * 1000 + k));
    rows.push_back(row);
  }
  for (Enc enc : kAllEncodings) {
    SCOPED_TRACE(FormatName(enc));
    const Result r = ReadPly(Header(header, enc) + Body(enc, rows),
                             {"v.x", "v.i", "l.items", "wide.p0", "wide.p599"});
    ASSERT_TRUE(r.read) << Joined(r.errors);
    ASSERT_EQ(r.log.size(), size_t{kRows} * 5 + 1 + kLongList + 4);
    EXPECT_EQ(r.log[0], "v.x#0=-7");
    EXPECT_EQ(r.log[5 * 99999], "v.x#99999=12492.875");
    EXPECT_EQ(r.log[5 * 99999 + 4], "v.i#99999[3,2]=-99999");
    const size_t list0 = size_t{kRows} * 5;
    EXPECT_EQ(r.log[list0], "l.items#0[5000,-1]=5000");
    EXPECT_EQ(r.log[list0 + kLongList], "l.items#0[5000,4999]=14997");
    EXPECT_EQ(Joined(std::vector<std::string>(r.log.end() - 4, r.log.end())),
              "wide.p0#0=0\nwide.p599#0=599\nwide.p0#1=1000\nwide.p599#1=1599\n");
  }
}

}  // namespace
