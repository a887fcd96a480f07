// libFuzzer target: compiles the input as an expression and evaluates it on every record of a
// small fixed table (and with no table current). Any text must compile to a value or fail
// with 351; nothing may read or write outside its buffers.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"

namespace {

// NAME C 10, PAY N 8.2, BORN D 8, OK L 1, AGE N 3, NOTES M 10; three records.
std::string TableBytes() {
  struct F {
    const char* name;
    char type;
    int length, decimals;
  } fields[] = {{"NAME", 'C', 10, 0}, {"PAY", 'N', 8, 2}, {"BORN", 'D', 8, 0},
                {"OK", 'L', 1, 0},    {"AGE", 'N', 3, 0}, {"NOTES", 'M', 10, 0}};
  const char* records[] = {" ABC          12.5019700131T 53          ",
                           "*Bob         100.00        F  7         0",
                           " Carol\xe9    -3000.0020000229Y100      abcd"};
  const int count = 3;
  const int record_length = 41;
  const int header_length = 32 + 32 * 6 + 1;
  std::string b(32, '\0');
  b[0] = 0x03;
  b[1] = 124;
  b[2] = 1;
  b[3] = 1;
  b[4] = count;
  b[8] = static_cast<char>(header_length & 0xFF);
  b[9] = static_cast<char>(header_length >> 8);
  b[10] = record_length;
  for (const F& f : fields) {
    std::string d(32, '\0');
    std::memcpy(d.data(), f.name, std::strlen(f.name));
    d[11] = f.type;
    d[16] = static_cast<char>(f.length);
    d[17] = static_cast<char>(f.decimals);
    b += d;
  }
  b += '\r';
  for (const char* r : records) {
    if (std::strlen(r) != record_length) std::abort();
    b += r;
  }
  b += '\x1a';
  return b;
}

void SetUp() {
  vx::InitEngine();
  vx::SetExceptionMode(true);
  vx::SetRaiseOnError(false);
  char dir[] = "/tmp/vx-expr-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  const std::string bytes = TableBytes();
  for (const char* name : {"/staff.dbf", "/other.dbf"}) {
    const std::string path = std::string(dir) + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  vx::Select(2);
  vx::Use(std::string(dir) + "/other.dbf ALIAS OTHER");
  vx::Select(1);
  vx::Use(std::string(dir) + "/staff.dbf ALIAS STAFF");
  if (vx::EngineErrorCode != 0) std::abort();
}

void Check(vx::CompiledExpr* e) {
  vx::EngineErrorCode = 0;
  const void* v = vx::Evaluate(e);
  if (v == nullptr) std::abort();
  if (e->result_type == 'C' || e->result_type == 'M') {
    const char* s = static_cast<const char*>(v);
    if (e->result_length >= e->pool_size || s[e->result_length] != '\0') std::abort();
    if (e->result_type == 'C' && e->result_length > vx::kMaxStringLength) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = (SetUp(), true);
  (void)ready;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vx::EngineErrorCode = 0;
  vx::Expr e = vx::Expr::Compile(text);
  if (!e) {
    if (vx::EngineErrorCode != 351) std::abort();
    return 0;
  }
  for (int n = 1; n <= 3; ++n) {
    vx::GO(n);
    Check(e.get());
  }
  vx::Select(3);  // no table current: unaliased fields read blank
  Check(e.get());
  vx::Select(1);
  return 0;
}
