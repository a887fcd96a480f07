#include "platform/dataset/application.h"

#include <stdexcept>
#include <utility>

#include "platform/dataset/sys_utils.h"

namespace vx {
namespace {

MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}

std::vector<RecordedMessage>& Recorded() {
  static std::vector<RecordedMessage> messages;
  return messages;
}

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

int MessageBox(const std::string& text, const std::string& caption, int flags) {
  if (Hook()) return Hook()(text, caption, flags);
  Recorded().push_back(RecordedMessage{text, caption, flags});
  const int buttons = flags & 0x0F;
  return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDYES : IDOK;
}

void ShowMessage(const std::string& text) { MessageBox(text, Application().Title, MB_OK); }

std::vector<std::string> RecordedMessages() {
  std::vector<std::string> texts;
  for (const RecordedMessage& m : Recorded()) texts.push_back(m.text);
  return texts;
}

const std::vector<RecordedMessage>& RecordedMessageBoxes() { return Recorded(); }

void ClearRecordedMessages() { Recorded().clear(); }

void TApplication::HandleException(TObject* sender) {
  const std::exception_ptr current = std::current_exception();
  if (!current) return;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    HandleException(sender, e);
  } catch (...) {
    HandleException(sender, std::runtime_error("Unknown exception"));
  }
}

void TApplication::HandleException(TObject* sender, const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e) != nullptr) return;
  if (OnException) {
    OnException(sender, e);
  } else {
    ShowException(e);
  }
}

void TApplication::ShowException(const std::exception& e) {
  MessageBox(e.what(), Title, MB_OK | MB_ICONSTOP);
}

TApplication& Application() {
  static TApplication application;
  return application;
}

}  // namespace vx
