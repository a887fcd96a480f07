#include "fuzz/vxdbf_inputs.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "tools/vxdbf/vxdbf.h"

namespace vx::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxArguments = 24;

constexpr const char* kRows =
    "NAME,YEAR,PRICE,DAY,OK,NOTE\n"
    "Vertigo,1958,12.50,1958-05-09,T,\"A detective,\nfollowed.\"\n"
    "Psycho,1960,9.99,1960-06-16,F,Motel.\n"
    "Rear Window,1954,,1954-08-01,,\n"
    "Notorious,1946,100.00,,T,Spies in Rio.\n"
    "Rebecca,1940,7.25,1940-03-28,F,\"Last night I dreamt \"\"Manderley\"\".\"\n"
    "Rope,1948,0.01,1948-08-26,T,\n"
    "The Birds,1963,-3.00,1963-03-28,,Birds.\n"
    "\xc3\x89t\xc3\xa9,1999,1.00,1999-12-31,F,Caf\xc3\xa9 cr\xc3\xa8me.\n";

void Require(int status) {
  if (status != 0) std::abort();
}

int Run(const std::vector<std::string>& args, const std::string& input = {}) {
  std::istringstream in(input);
  std::ostringstream out, err;
  return tool::RunVxdbf(args, in, out, err);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a function with `dir` as the working folder, and goes back afterwards.
template <typename F>
auto InFolder(const fs::path& dir, F&& f) {
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  struct Back {
    fs::path to;
    ~Back() { fs::current_path(to); }
  } back{before};
  return f();
}

// The bytes of the small table's files, made once per process in `dir`/seed.
const std::map<std::string, std::string>& SeedFiles(const fs::path& dir) {
  static const std::map<std::string, std::string> files = [&] {
    const fs::path seed = dir / "seed";
    fs::remove_all(seed);
    fs::create_directories(seed);
    InFolder(seed, [] {
      Require(Run({"create", "T.DBF", "--field", "NAME,C,12", "--field", "YEAR,N,4", "--field",
                   "PRICE,N,8,2", "--field", "DAY,D", "--field", "OK,L", "--field", "NOTE,M"}));
      Require(Run({"index", "T.DBF", "--tag", "NAME", "--key", "UPPER(NAME)"}));
      Require(Run({"index", "T.DBF", "--tag", "YEAR", "--key", "YEAR"}));
      Require(Run({"index", "T.DBF", "--tag", "DAY", "--key", "DAY", "--for", "YEAR > 1950"}));
      Require(Run({"append", "T.DBF"}, kRows));
      return 0;
    });
    std::map<std::string, std::string> bytes;
    for (const char* name : {"T.DBF", "T.DBT", "T.MDX"}) bytes[name] = ReadAll(seed / name);
    return bytes;
  }();
  return files;
}

// Keeps an argument's file names inside the scratch folder.
std::string Confined(std::string argument) {
  for (char& c : argument) {
    if (c == '/') c = '_';
  }
  return argument;
}

}  // namespace

CommandInput ParseCommandInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t line_end = bytes.find('\n');
  const std::string line = bytes.substr(0, line_end);
  CommandInput input;
  if (line_end != std::string::npos) input.standard_input = bytes.substr(line_end + 1);
  bool zero_next = false;
  for (std::size_t at = 0; at <= line.size() && input.args.size() < kMaxArguments;) {
    std::size_t end = line.find('\t', at);
    if (end == std::string::npos) end = line.size();
    std::string argument = Confined(line.substr(at, end - at));
    if (zero_next) argument = "0";
    zero_next = argument == "--retries" || argument == "--wait";
    if (argument.rfind("--retries=", 0) == 0) argument = "--retries=0";
    if (argument.rfind("--wait=", 0) == 0) argument = "--wait=0";
    input.args.push_back(std::move(argument));
    at = end + 1;
  }
  return input;
}

int RunVxdbfBytes(const std::string& dir, const std::uint8_t* data, std::size_t size) {
  const fs::path root(dir);
  const auto& seed = SeedFiles(root);
  const fs::path work = root / "work";
  fs::remove_all(work);
  fs::create_directories(work);
  for (const auto& [name, bytes] : seed) {
    std::ofstream out(work / name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::abort();
  }
  const CommandInput input = ParseCommandInput(data, size);
  return InFolder(work, [&] { return Run(input.args, input.standard_input); });
}

}  // namespace vx::fuzz
