#include "engine/foundation/errors.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/os/system.h"

namespace vx {

namespace {

struct ErrorText {
  std::uint16_t code;
  const char* text;
};

// The description of every code the engine and the file services report.
constexpr ErrorText kErrorTexts[] = {
    {1, "Invalid DOS function code"},
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Not enough memory"},
    {9, "Memory block address invalid"},
    {10, "Environment invalid"},
    {11, "Format invalid"},
    {12, "Invalid file access code"},
    {13, "Data invalid"},
    {14, "Unknown unit"},
    {15, "Invalid drive number"},
    {16, "Cannot remove current directory"},
    {17, "Cannot rename across drives"},
    {18, "Too many open files"},
    {19, "Disk write-protected"},
    {20, "Unknown unit"},
    {21, "Drive not ready"},
    {22, "Unknown command"},
    {23, "CRC error in data"},
    {24, "Bad drive request structure length"},
    {25, "Disk seek error"},
    {26, "Unknown media type"},
    {27, "Disk sector not found"},
    {28, "Printer out of paper"},
    {29, "Device write fault"},
    {30, "Device read fault"},
    {31, "General failure"},
    {32, "File sharing violation"},
    {33, "File lock violation"},
    {34, "Disk change invalid"},
    {35, "File Control Block unavailable"},
    {36, "File sharing buffer overflow"},
    {50, "Unsupported network request"},
    {51, "Remote machine not listening"},
    {52, "Duplicate name on network"},
    {53, "Network name not found"},
    {54, "Network busy"},
    {55, "Device no longer exists on network"},
    {56, "Net-Bios command limit exceeded"},
    {57, "Error in network adapter hardware"},
    {58, "Incorrect response from network"},
    {59, "Unexpected network error"},
    {60, "Remote adapter incompatible"},
    {100, "Disk read error"},
    {101, "Disk write error (probable cause: Disk Full)."},
    {102, "File not assigned"},
    {103, "File not open"},
    {104, "File not open for input"},
    {105, "File not open for output"},
    {106, "Invalid numeric format"},
    {150, "Disk write-protected"},
    {151, "Unknown unit"},
    {152, "Drive not ready"},
    {153, "Unknown command"},
    {154, "CRC error in data"},
    {155, "Bad drive request structure length"},
    {156, "Disk seek error"},
    {157, "Unknown media type"},
    {158, "Disk sector not found"},
    {159, "Printer out of paper"},
    {160, "Device write fault"},
    {161, "Device read fault"},
    {162, "File sharing violation"},
    {200, "Division by zero error"},
    {201, "Range check error"},
    {202, "Stack overflow error"},
    {203, "Heap overflow error"},
    {204, "Invalid pointer operation"},
    {205, "Floating point overflow"},
    {206, "Floating point underflow"},
    {207, "Invalid floating point operation"},
    {208, "Overlay-manager not installed"},
    {209, "Overlay file read error"},
    {210, "Not a dBASE data file"},
    {211, "Invalid database field type encountered"},
    {212, "Request beyond range"},
    {213, "End of file found unexpectedly"},
    {214, "File already in use"},
    {215, "No database in use"},
    {216, "GP Fault"},
    {217, "Insufficient memory"},
    {218, "Invalid pointer specified"},
    {219, "Cannot duplicate file handle"},
    {220, "Invalid parameter"},
    {221, "Index file not open"},
    {222, "Corrupted index file"},
    {223, "Index version mismatch"},
    {224, "Cyclical relationship detected"},
    {225, "Exclusive Use() required"},
    {226, "BROWSE not active"},
    {227, "Insufficient disk space "},
    {228, "Unbalanced Push/Pop operation "},
    {229, "dBASE IV memo files not supported"},
    {230, "No dBASE memory variables loaded"},
    {231, "Screen library not open"},
    {239, "Missing colon in time"},
    {240, "Non-numeric character in time"},
    {241, "Invalid time specified"},
    {242, "Negative time specified"},
    {243, "TimeDiff result negative"},
    {254, "Vexel internal error"},
    {266, "Invalid size"},
    // The expression language's codes (their messages say what and where).
    {351, "Error in expression"},
    {354, "Expression working pool overflow"},
    {356, "Unknown data type in expression"},
    {358, "Error during evaluation"},
    {359, "Empty expression"},
    {360, "Key expression longer than 220 characters"},
    {361, "Key expression must give characters, a number or a date"},
    {362, "Condition must be a logical expression"},
    {1003, "Invalid memo address"},
    {1004, "Disk full"},
    {1005, "Memo file write error"},
    {1007, "Memo file is already open"},
    {1012, "Insufficient disk space to pack memo file"},
    {1017, "Cannot lock memo file"},
    {1018, "Cannot unlock memo file"},
    {1019, "Invalid memo operation: database not open or no memo field in database"},
    {1100, "Not a valid operation on Linked List"},
    {1101, "Virtual File Manager Unit not Linked in"},
    {1102, "Virtual File Memory Management Error"},
    {1103, "Invalid Operation "},
    {1200, "Record not locked"},
    {1201, "File not locked"},
    {1202,
     "Semaphore file error. Possible solutions: log into network or load SHARE.EXE before "
     "running Windows"},
    {1300, "File format not supported"},
};

const char* TableText(std::uint16_t code) {
  for (const auto& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  if (code >= 1203 && code <= 1299) return "Network Error";
  return "Undefined error";
}

}  // namespace

EVexelError::EVexelError(std::string fault, std::vector<EngineAdvice> advice)
    : os::Exception(AdvisedText(fault, advice)),
      fault_(std::move(fault)),
      advice_(std::move(advice)) {}

void SetEngineError(std::uint16_t code, std::string_view message,
                    std::vector<EngineAdvice> advice) {
  FoundationState& state = CurrentState<FoundationState>();
  state.engine_error_code = code;
  state.last_error_code = code;
  state.last_error_message.assign(message);
  state.last_error_advice = std::move(advice);
  if (state.raise_on_error) HandleEngineError();
}

void HandleEngineError() {
  FoundationState& state = CurrentState<FoundationState>();
  if (state.halting) return;
  state.last_error_code = state.engine_error_code;
  if (state.error_handler != nullptr) {
    state.error_handler();
    return;
  }
  const std::uint16_t code = state.engine_error_code;
  if (code == 0) return;
  std::vector<EngineAdvice> advice = std::exchange(state.last_error_advice, {});
  std::string text = ErrorDescription(code) + "\r\n" + TakeErrorMessage();
  if (state.use_exceptions) throw EVexelError(std::move(text), std::move(advice));
  text = AdvisedText(text, advice);
  if (text.size() > 255) text.resize(255);
  state.halting = true;
  os::FatalExit("Program halted.", text, code);
}

std::string ErrorDescription(std::uint16_t code) {
  if (code == 0) return {};
  return "Error # " + std::to_string(code) + " (" + TableText(code) + ")";
}

std::string AdvisedText(const std::string& fault, const std::vector<EngineAdvice>& advice) {
  if (advice.empty()) return fault;
  std::string text = fault + " (";
  for (std::size_t i = 0; i < advice.size(); ++i) {
    if (i > 0) text += "; ";
    switch (advice[i].remedy) {
      case EngineRemedy::kRepair:
        text += "a check with repair";
        break;
      case EngineRemedy::kRepairNdx:
        text += "a check of the .NDX with repair";
        break;
      case EngineRemedy::kAddTag:
        text += "adding a tag";
        break;
    }
    if (!advice[i].effect.empty()) text += " " + advice[i].effect;
  }
  return text + ")";
}

std::string TakeErrorMessage() {
  FoundationState& state = CurrentState<FoundationState>();
  std::string message = AdvisedText(state.last_error_message, state.last_error_advice);
  state.last_error_message.clear();
  state.last_error_advice.clear();
  state.last_error_code = 0;
  return message;
}

std::string EngineErrorText() {
  if (LastErrorCode == 0) return {};
  std::string description = ErrorDescription(LastErrorCode);
  return description + "\r\n" + TakeErrorMessage();
}

void EngineWarning(const std::string& text) {
  FoundationState& state = CurrentState<FoundationState>();
  if (state.warning_proc != nullptr) {
    state.warning_proc(state.warning_context, text);
    return;
  }
  std::fprintf(stderr, "warning: %s\n", text.c_str());
}

WarningReceiver::WarningReceiver(void (*proc)(void* context, const std::string& text),
                                 void* context) {
  FoundationState& state = CurrentState<FoundationState>();
  previous_proc_ = std::exchange(state.warning_proc, proc);
  previous_context_ = std::exchange(state.warning_context, context);
}

WarningReceiver::~WarningReceiver() {
  FoundationState& state = CurrentState<FoundationState>();
  state.warning_proc = previous_proc_;
  state.warning_context = previous_context_;
}

bool SetRaiseOnError(bool flag) { return std::exchange(*RaiseOnError, flag); }

bool SetExceptionMode(bool flag) { return std::exchange(*UseExceptions, flag); }

void AllocBlock(void*& pointer, std::uint16_t size) {
  pointer = std::malloc(size == 0 ? 1 : size);
  if (pointer == nullptr) SetEngineError(8, "Out of memory [GetMem()]");
}

void FreeBlock(void*& pointer, std::uint16_t /*size*/) {
  if (pointer == nullptr) {
    SetEngineError(9, "Attempt to free NIL pointer [FreeMem()]");
    return;
  }
  std::free(pointer);
  pointer = nullptr;
}

std::int32_t MaxAvail() { return 2147483647; }

}  // namespace vx
