#pragma once
// The engine's error state and its one reporting path. Every engine failure calls
// SetEngineError with a numbered code and a context message ending in the operation's name in
// square brackets; HandleEngineError then raises EVexelError, calls the installed handler, or
// shows the text and halts, as the switches say. Nothing else constructs EVexelError.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/engine_state.h"
#include "platform/os/exception.h"

namespace vx {

// The engine's exception: its text is the code's description, CR LF, and the context message,
// ending with the error's advice in the engine's words (AdvisedText).
class EVexelError : public os::Exception {
 public:
  using os::Exception::Exception;
  // `fault`: the description and message alone; the text adds `advice`.
  EVexelError(std::string fault, std::vector<EngineAdvice> advice);
  // The text without its advice, for a program that words the advice as its own.
  const std::string& Fault() const { return advice_.empty() ? Message() : fault_; }
  const std::vector<EngineAdvice>& Advice() const { return advice_; }

 private:
  std::string fault_;
  std::vector<EngineAdvice> advice_;
};

// The current engine's error state. EngineErrorCode also holds the result of the last file
// operation, so 0 means that the last step succeeded.
inline constexpr EngineField<&FoundationState::engine_error_code> EngineErrorCode;
inline constexpr EngineField<&FoundationState::last_error_code> LastErrorCode;
inline constexpr EngineField<&FoundationState::last_error_message> LastErrorMessage;
// What can be done about the recorded error (empty: nothing to advise).
inline constexpr EngineField<&FoundationState::last_error_advice> LastErrorAdvice;
// true: recording an error reports it at once
inline constexpr EngineField<&FoundationState::raise_on_error> RaiseOnError;
// true: reporting raises EVexelError; false: message box and halt
inline constexpr EngineField<&FoundationState::use_exceptions> UseExceptions;
using ErrorHandlerProcType = void (*)();
// when set, reporting calls it instead
inline constexpr EngineField<&FoundationState::error_handler> ErrorHandlerProc;
// set just before the program halts
inline constexpr EngineField<&FoundationState::halting> Halting;

// Records `code` and `message` (with `advice`, else none) and, when RaiseOnError is on, reports
// them (HandleEngineError).
void SetEngineError(std::uint16_t code, std::string_view message,
                    std::vector<EngineAdvice> advice = {});
// `fault` followed by `advice` in brackets in the engine's own words, which name no program:
// "... (a check with repair rebuilds it)".
std::string AdvisedText(const std::string& fault, const std::vector<EngineAdvice>& advice);
// Reports the pending error: does nothing while halting; copies EngineErrorCode into
// LastErrorCode; calls ErrorHandlerProc when set; for a nonzero code raises EVexelError (or,
// with UseExceptions off, shows the text captioned "Program halted." and ends the process with
// the code as exit status).
void HandleEngineError();
// "Error # <code> (<text>)", or empty for 0; codes outside the table read "Undefined error".
std::string ErrorDescription(std::uint16_t code);
// Answers LastErrorMessage with its advice (AdvisedText), then empties both and clears
// LastErrorCode.
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
  CleanupErrors() : code_(EngineErrorCode), message_(LastErrorMessage), advice_(LastErrorAdvice) {}
  ~CleanupErrors() {
    if (code_ == 0) return;
    EngineErrorCode = code_;
    LastErrorMessage = message_;
    LastErrorAdvice = advice_;
  }
  CleanupErrors(const CleanupErrors&) = delete;
  CleanupErrors& operator=(const CleanupErrors&) = delete;

 private:
  QuietErrors quiet_;
  std::uint16_t code_;
  std::string message_;
  std::vector<EngineAdvice> advice_;
};

// Tells the user of a condition the engine got past without failing (a mark a program that
// ended left behind, an index read without the semaphore): to the installed warning procedure,
// else on standard error as "warning: " + text.
void EngineWarning(const std::string& text);

// Sends the engine's warnings to `proc` for a scope, then restores the previous receiver.
class WarningReceiver {
 public:
  WarningReceiver(void (*proc)(void* context, const std::string& text), void* context);
  ~WarningReceiver();
  WarningReceiver(const WarningReceiver&) = delete;
  WarningReceiver& operator=(const WarningReceiver&) = delete;

 private:
  void (*previous_proc_)(void*, const std::string&);
  void* previous_context_;
};

// Block allocation through the error channel. AllocBlock stores the address of `size` new bytes
// (code 8 when the allocation fails); FreeBlock frees them, or records code 9 for a null
// pointer; both leave FreeBlock's pointer null.
void AllocBlock(void*& pointer, std::uint16_t size);
void FreeBlock(void*& pointer, std::uint16_t size);
// The largest block that may be requested: always 2147483647.
std::int32_t MaxAvail();

}  // namespace vx
