#pragma once
// The base exception class that the engine's and the components' exceptions derive from, in the
// shape the components expect: an exception that carries only its message text.

#include <exception>
#include <string>
#include <utility>

namespace vx::os {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

}  // namespace vx::os
