// The other program of the shared-visibility test: opens a table shared and answers commands
// read line by line from standard input, one answer line each on standard output.
//   R n        GO n, answer the first field's text (trailing blanks cut)
//   W n text   GO n, lock it, set the first field, REPLACE, unlock; answer "ok"
//   A text     append a record with the first field set; answer the new record's number
// Any failure answers "error <code>". The read path comes from VX_READ_PATH.

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "engine/foundation/errors.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"

namespace {

std::string Trimmed(std::string_view text) {
  const std::size_t end = text.find_last_not_of(' ');
  return std::string(text.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  char command = 0;
  in >> command;
  vx::EngineErrorCode = 0;
  if (command == 'R') {
    std::int32_t n = 0;
    in >> n;
    vx::GO(n);
    return Trimmed(vx::RecordImage::Of(*vx::SelectedTable()).Text(1));
  }
  if (command == 'W') {
    std::int32_t n = 0;
    std::string text;
    in >> n >> text;
    vx::GO(n);
    if (!vx::RLock()) return "error lock";
    vx::RecordImage::Of(*vx::SelectedTable()).SetText(1, text);
    vx::REPLACE();
    vx::Unlock();
    return "ok";
  }
  if (command == 'A') {
    std::string text;
    in >> text;
    if (!vx::ALock()) return "error lock";
    vx::RecordImage::Of(*vx::SelectedTable()).SetText(1, text);
    vx::Append();
    vx::Unlock();
    return std::to_string(vx::RecNo());
  }
  return "error command";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    vx::InitWorkAreas();
    vx::Use(argv[1]);
    std::string line;
    while (std::getline(std::cin, line)) {
      std::string answer;
      try {
        answer = Run(line);
      } catch (const vx::EVexelError&) {
        answer = "error " + std::to_string(vx::LastErrorCode);
      }
      std::cout << answer << std::endl;
    }
    vx::CloseAll();
  } catch (...) {
    return 1;
  }
  return 0;
}
