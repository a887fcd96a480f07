#pragma once
// vxdbf's command line as the fuzz target drives it, as a function, so that the regression test
// feeds the inputs that once found a fault through exactly the same path.
//
// An input is one command line and its standard input: the arguments, separated by tab
// characters, up to the first line feed; everything after it is standard input. The command
// runs in-process in a scratch folder holding a fresh copy of a small table (T.DBF: character,
// number, date, logical and memo fields, eight records, a memo file T.DBT and a production
// index T.MDX with three tags). File names are kept inside that folder: a "/" in an argument
// becomes "_". Lock waits are cut to nothing (--retries and --wait take 0), since a command
// that waits for a lock its own process holds would only sleep.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::fuzz {

// The arguments and standard input an input stands for, as RunVxdbfBytes passes them.
struct CommandInput {
  std::vector<std::string> args;
  std::string standard_input;
};
CommandInput ParseCommandInput(const std::uint8_t* data, std::size_t size);

// Runs the input's command line in `dir` (created when missing) against a fresh copy of the
// small table; answers vxdbf's exit status. The engine must be started.
int RunVxdbfBytes(const std::string& dir, const std::uint8_t* data, std::size_t size);

}  // namespace vx::fuzz
