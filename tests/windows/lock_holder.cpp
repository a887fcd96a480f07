// lock_holder TABLE RECNO: holds the lock of one record (RECNO 0: the append lock) of a shared
// table through the library, says "held", and gives it back when a line (or the end) comes on
// standard input. The check of a Linux and a Windows program on one table (interop.sh) holds
// locks with it on one side and edits with vxdbf on the other.
#include <iostream>
#include <optional>
#include <string>
#include <vexel/vexel.hpp>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: lock_holder TABLE RECNO\n";
    return 2;
  }
  try {
    vexel::Table table = vexel::open(argv[1], {.lock_retries = 0});
    const unsigned long recno = std::stoul(argv[2]);
    std::optional<vexel::RecordLock> record;
    std::optional<vexel::AppendLock> append;
    if (recno == 0) {
      append.emplace(table.lock_append());
    } else {
      record.emplace(table.lock(static_cast<std::uint32_t>(recno)));
    }
    std::cout << "held" << std::endl;
    std::string line;
    std::getline(std::cin, line);
  } catch (const vexel::LockError& e) {
    std::cout << "refused" << std::endl;
    return 3;
  } catch (const vexel::Error& e) {
    std::cerr << "lock_holder: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
