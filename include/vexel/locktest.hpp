#pragma once
// The share self-test: whether two programs sharing tables in a folder (a network share) see
// each other's byte-range locks and writes at once, as the dBASE lock protocols need. This
// program and a second process of it open one scratch table in the folder shared and check that
// a record lock, the append lock and the index semaphore's lock region held by one are refused
// to the other, that a record written by one reads back in the other, and that appends from
// both at once are all counted.
//
// The second process is this program started again (its own executable) with the arguments
// the caller names; it must call locktest_peer on its standard input and output:
//
//   if (argc == 3 && argv[2] == std::string("--peer")) {
//     vexel::locktest_peer(argv[1], std::cin, std::cout);
//     return 0;
//   }
//   vexel::LocktestReport report = vexel::locktest("/mnt/share", {.peer_arguments = {dir,
//   "--peer"}});

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace vexel {

// The scratch table both processes share, in the folder tested (made anew, and removed with
// its semaphore file after a test that ran to its end).
inline constexpr const char* locktest_table = "VXLOCKTS.DBF";

struct LocktestOptions {
  // The arguments (without the program name) that make this program, started again, call
  // locktest_peer for the same folder.
  std::vector<std::string> peer_arguments{};
  // Called once both processes have the scratch table open, with its path.
  std::function<void(const std::string& table)> started{};
};

// One check: its name ("record lock", "append lock", "semaphore region", "write seen at once",
// "appends from both"), whether it passed, and what was seen.
struct LocktestVerdict {
  std::string check{};
  bool passed = false;
  std::string detail{};
};

struct LocktestReport {
  std::string table{};  // the scratch table's path
  std::vector<LocktestVerdict> verdicts{};
  // Whether every check passed.
  bool passed() const;
};

// Runs the self-test in `dir`, this program's side (InputError without peer_arguments). DataError
// when the scratch table cannot be made or written, or the second process cannot be started, open
// the table or stays silent; a check that fails is a verdict, not an error.
LocktestReport locktest(const std::filesystem::path& dir, const LocktestOptions& options);

// The second process's side: opens the scratch table in `dir`, writes "ready" on `out`, and
// answers one line per command read from `in` until "quit" or the end of `in`. With
// `simulate_broken_locks` it takes no locks and says every one is granted, as a share that
// ignores locks would (to see the failures reported).
void locktest_peer(const std::filesystem::path& dir, std::istream& in, std::ostream& out,
                   bool simulate_broken_locks = false);

}  // namespace vexel
