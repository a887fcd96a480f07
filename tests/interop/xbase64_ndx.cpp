// Another program's .NDX files, for the interoperability check: Debian's Xbase64 (libxbase64),
// an independent dBASE library, used only to write and read index files, never as code.
//
//   xbase64_ndx make TABLE.DBF COUNT   appends COUNT records with Xbase64 keeping four .NDX
//                                      files beside the table current: NAME (characters),
//                                      AMOUNT (a number), BORN (a date) and ID (a number, unique)
//   xbase64_ndx add TABLE.DBF COUNT    the same with the four files there, as another program
//                                      left them (IDs from 200001)
//   xbase64_ndx walk TABLE.DBF X.NDX   prints the record numbers in the index's order, a line each
//
// The table itself is made by another program: Xbase64 3.1.2's CreateDatabase writes fields of
// length 0 on 64-bit machines.

#include <xbase64/xbase64.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Xbase64 3.1.2 as packaged reads a four-byte field into an eight-byte long and leaves the upper
// half unset (record counts and node numbers come back as garbage). The program's own definitions
// take the place of the library's, which calls them through its symbol table.
xbULong xbXBase::GetULong(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return xbULong(u[0]) | xbULong(u[1]) << 8 | xbULong(u[2]) << 16 | xbULong(u[3]) << 24;
}
xbLong xbXBase::GetLong(const char* p) { return static_cast<std::int32_t>(GetULong(p)); }

namespace {

int Fail(const char* what, int code) {
  std::fprintf(stderr, "xbase64_ndx: %s failed: %d\n", what, code);
  return 1;
}

int Make(const char* table, int count, bool fresh) {
  xbXBase x;
  xbDbf d(&x);
  if (const int rc = d.OpenDatabase(table)) return Fail("OpenDatabase", rc);
  xbNdx name(&d), amount(&d), born(&d), id(&d);
  struct {
    xbNdx& index;
    const char* file;
    const char* key;
    int unique;
  } const indexes[] = {{name, "NAME.NDX", "NAME", XB_NOT_UNIQUE},
                       {amount, "AMOUNT.NDX", "AMOUNT", XB_NOT_UNIQUE},
                       {born, "BORN.NDX", "BORN", XB_NOT_UNIQUE},
                       {id, "ID.NDX", "ID", XB_UNIQUE}};
  const std::string folder = [&] {
    std::string t(table);
    const auto slash = t.rfind('/');
    return slash == std::string::npos ? std::string() : t.substr(0, slash + 1);
  }();
  for (const auto& i : indexes) {
    const std::string path = folder + i.file;
    if (!fresh) {
      if (const int rc = i.index.OpenIndex(path.c_str())) return Fail("OpenIndex", rc);
    } else if (const int rc = i.index.CreateIndex(path.c_str(), i.key, i.unique, XB_OVERLAY)) {
      return Fail("CreateIndex", rc);
    }
  }
  std::srand(7);
  for (int n = 0; n < count; ++n) {
    d.BlankRecord();
    char text[3][32];
    std::snprintf(text[0], sizeof text[0], "N%04d %c", std::rand() % 900, 'A' + std::rand() % 26);
    std::snprintf(text[1], sizeof text[1], "%.2f", (std::rand() % 2000000 - 1000000) / 100.0);
    std::snprintf(text[2], sizeof text[2], "%04d%02d%02d", 1900 + std::rand() % 120,
                  1 + std::rand() % 12, 1 + std::rand() % 28);
    const std::string serial = std::to_string(fresh ? count - n : 200001 + n);
    d.PutField("NAME", text[0]);
    d.PutField("AMOUNT", text[1]);
    // Some dates left blank: their keys sort first.
    if (n % 17 != 3) d.PutField("BORN", text[2]);
    d.PutField("ID", serial.c_str());
    if (const int rc = d.AppendRecord()) return Fail("AppendRecord", rc);
  }
  d.CloseDatabase();
  return 0;
}

int Walk(const char* table, const char* file) {
  xbXBase x;
  xbDbf d(&x);
  if (const int rc = d.OpenDatabase(table)) return Fail("OpenDatabase", rc);
  xbNdx index(&d);
  if (const int rc = index.OpenIndex(file)) return Fail("OpenIndex", rc);
  for (int rc = index.GetFirstKey(); rc == XB_NO_ERROR; rc = index.GetNextKey()) {
    std::printf("%lu\n", static_cast<unsigned long>(index.GetCurDbfRec()));
  }
  index.CloseIndex();
  d.CloseDatabase();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if ((mode == "make" || mode == "add") && argc == 4) {
    return Make(argv[2], std::atoi(argv[3]), mode == "make");
  }
  if (mode == "walk" && argc == 4) return Walk(argv[2], argv[3]);
  std::fprintf(stderr, "usage: xbase64_ndx make|add TABLE.DBF COUNT | walk TABLE.DBF X.NDX\n");
  return 2;
}
