#pragma once
// The engine's error state and its one reporting path. Every engine failure calls
// SetEngineError with a numbered code and a context message ending in the operation's name in
// square brackets; HandleEngineError then raises EVexelError, calls the installed handler, or
// shows the text and halts, as the switches say. Nothing else constructs EVexelError.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/os/exception.h"

namespace vx {

// The engine's exception: its text is the code's description, CR LF, and the context message.
class EVexelError : public os::Exception {
 public:
  using os::Exception::Exception;
};

// Process-wide error state. EngineErrorCode also holds the result of the last file operation,
// so 0 means that the last step succeeded.
extern std::uint16_t EngineErrorCode;
extern std::uint16_t LastErrorCode;
extern std::string LastErrorMessage;
extern bool RaiseOnError;   // true: recording an error reports it at once
extern bool UseExceptions;  // true: reporting raises EVexelError; false: message box and halt
using ErrorHandlerProcType = void (*)();
extern ErrorHandlerProcType ErrorHandlerProc;  // when set, reporting calls it instead
extern bool Halting;                           // set just before the program halts

// Records `code` and `message` and, when RaiseOnError is on, reports them (HandleEngineError).
void SetEngineError(std::uint16_t code, std::string_view message);
// Reports the pending error: does nothing while halting; copies EngineErrorCode into
// LastErrorCode; calls ErrorHandlerProc when set; for a nonzero code raises EVexelError (or,
// with UseExceptions off, shows the text captioned "Program halted." and ends the process with
// the code as exit status).
void HandleEngineError();
// "Error # <code> (<text>)", or empty for 0; codes outside the table read "Undefined error".
std::string ErrorDescription(std::uint16_t code);
// Answers LastErrorMessage, then empties it and clears LastErrorCode.
std::string TakeErrorMessage();
// ErrorDescription(LastErrorCode) + CR LF + TakeErrorMessage(), or empty when no error is kept.
std::string EngineErrorText();
// Switch setters; each answers the previous value.
bool SetRaiseOnError(bool flag);
bool SetExceptionMode(bool flag);

// Switches automatic reporting off for a scope and restores the previous switch afterwards, for
// callers that try an operation quietly and test EngineErrorCode.
class QuietErrors {
 public:
  QuietErrors() : previous_(SetRaiseOnError(false)) {}
  ~QuietErrors() { SetRaiseOnError(previous_); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  bool previous_;
};

// For a clean-up step (closing a bracket, giving back a lock) that may run while an error is on
// its way, a raised one included: reporting is off for the scope, and an error recorded before
// it stays the one to report (the step's own failure is kept only when none was).
class CleanupErrors {
 public:
  CleanupErrors() : code_(EngineErrorCode), message_(LastErrorMessage) {}
  ~CleanupErrors() {
    if (code_ == 0) return;
    EngineErrorCode = code_;
    LastErrorMessage = message_;
  }
  CleanupErrors(const CleanupErrors&) = delete;
  CleanupErrors& operator=(const CleanupErrors&) = delete;

 private:
  QuietErrors quiet_;
  std::uint16_t code_;
  std::string message_;
};

// Block allocation through the error channel. AllocBlock stores the address of `size` new bytes
// (code 8 when the allocation fails); FreeBlock frees them, or records code 9 for a null
// pointer; both leave FreeBlock's pointer null.
void AllocBlock(void*& pointer, std::uint16_t size);
void FreeBlock(void*& pointer, std::uint16_t size);
// The largest block that may be requested: always 2147483647.
std::int32_t MaxAvail();

}  // namespace vx
