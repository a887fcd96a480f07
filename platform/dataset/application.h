#pragma once
// The application object's headless half: the exception handler that data-aware code hands
// exceptions to, and the message-box hook through which the framework and the components show
// messages. The GUI installs a real message box and its own handler; without a GUI every
// message is recorded so that tests can read it.

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/component.h"

namespace vx {

// Message-box flags and answers in the Win32 numbering.
inline constexpr int MB_OK = 0x00;
inline constexpr int MB_OKCANCEL = 0x01;
inline constexpr int MB_YESNOCANCEL = 0x03;
inline constexpr int MB_YESNO = 0x04;
inline constexpr int MB_ICONSTOP = 0x10;
inline constexpr int MB_ICONQUESTION = 0x20;
inline constexpr int MB_ICONWARNING = 0x30;
inline constexpr int MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Shows a message box and answers the button pressed.
using MessageBoxHook =
    std::function<int(const std::string& text, const std::string& caption, int flags)>;
// Installs the GUI's message box; an empty hook restores the recording default.
void SetMessageBoxHook(MessageBoxHook hook);
// Shows `text` through the hook. Without a hook the message is recorded and the answer is
// IDOK (or IDYES for MB_YESNO and MB_YESNOCANCEL).
int MessageBox(const std::string& text, const std::string& caption, int flags);
// MessageBox(text, Application title, MB_OK).
void ShowMessage(const std::string& text);

// A message shown while no hook was installed.
struct RecordedMessage {
  std::string text;
  std::string caption;
  int flags = 0;
};
// The texts of the recorded messages, oldest first.
std::vector<std::string> RecordedMessages();
const std::vector<RecordedMessage>& RecordedMessageBoxes();
void ClearRecordedMessages();

using TExceptionEvent = std::function<void(TObject* sender, const std::exception& e)>;

// The application: its title and the last-resort handling of exceptions that a data-aware
// control or event handler cannot let escape.
class TApplication : public TObject {
 public:
  std::string Title = "Vexel";
  // Called instead of ShowException when set.
  TExceptionEvent OnException;

  // Handles the exception being caught; call it only inside a catch block. EAbort is dropped
  // silently; others go to OnException, else to ShowException.
  void HandleException(TObject* sender);
  // Handles `e` as above (for callers that hold the exception object).
  void HandleException(TObject* sender, const std::exception& e);
  // Shows the exception's message with MB_ICONSTOP through MessageBox.
  void ShowException(const std::exception& e);
};

TApplication& Application();

}  // namespace vx
