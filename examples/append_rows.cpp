// append_rows TABLE NAME=QTY...: appends one row per argument to a table of stock (created with
// a tag on NAME when it is missing), all under one append lock, so that the rows go in together
// while other programs keep the table open.
#include <filesystem>
#include <iostream>
#include <string>
#include <vexel/vexel.hpp>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: append_rows TABLE NAME=QTY...\n";
    return 2;
  }
  try {
    if (!std::filesystem::exists(argv[1])) {
      vexel::Table created =
          vexel::create(argv[1], {{"NAME", 'C', 20, 0}, {"QTY", 'N', 6, 0}, {"ADDED", 'D', 8, 0}});
      created.add_tag({.name = "NAME", .key = "UPPER(NAME)", .for_expr = ""});
    }
    vexel::Table table = vexel::open(argv[1]);
    vexel::AppendLock lock = table.lock_append();  // released when it goes out of scope
    for (int i = 2; i < argc; ++i) {
      const std::string row = argv[i];
      const std::size_t eq = row.find('=');
      const std::uint32_t recno = lock.append(
          {{"NAME", row.substr(0, eq)},
           {"QTY", eq == std::string::npos ? std::int64_t{0} : std::stoll(row.substr(eq + 1))},
           {"ADDED", vexel::Date{2026, 12, 9}}});
      std::cout << "record " << recno << "\n";
    }
  } catch (const vexel::LockError& e) {
    std::cerr << "append_rows: another program holds the table: " << e.what() << "\n";
    return 3;
  } catch (const vexel::Error& e) {
    std::cerr << "append_rows: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
