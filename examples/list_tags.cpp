// list_tags TABLE [TAG KEY]: lists the tags of a table's production index; with a tag and a key,
// seeks the key in that tag and prints the record found.
#include <iostream>
#include <vexel/vexel.hpp>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::cerr << "usage: list_tags TABLE [TAG KEY]\n";
    return 2;
  }
  try {
    vexel::Table table = vexel::open(argv[1], {.mode = vexel::OpenMode::read_only});
    std::cout << table.size() << " records, code page " << table.codepage() << "\n";
    for (const vexel::TagInfo& tag : table.tags()) {
      std::cout << tag.name << ": " << tag.key;
      if (!tag.for_expr.empty()) std::cout << " FOR " << tag.for_expr;
      std::cout << (tag.descending ? " (descending)" : "") << (tag.unique ? " (unique)" : "")
                << "\n";
    }
    if (argc == 4) {
      const std::optional<std::uint32_t> found =
          table.seek(argv[2], std::string(argv[3]), vexel::SeekMode::prefix);
      if (!found) {
        std::cout << "not found\n";
        return 1;
      }
      const vexel::Record record = table.read(*found);
      std::cout << "record " << record.recno() << ":";
      for (std::size_t i = 0; i < record.size(); ++i) {
        std::cout << " " << record.fields()[i].name << "=" << record.text(i);
      }
      std::cout << "\n";
    }
  } catch (const vexel::Error& e) {
    std::cerr << "list_tags: " << e.what() << " (code " << e.code() << ")\n";
    return 1;
  }
  return 0;
}
