#pragma once
// Test support: runs one vxdbf command line in this process with a given standard input and
// answers its exit status and what it printed.

#include <sstream>
#include <string>
#include <vector>

#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

struct Result {
  int status;
  std::string out, err;
};

inline Result Vxdbf(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = RunVxdbf(args, in, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace vx::tool
