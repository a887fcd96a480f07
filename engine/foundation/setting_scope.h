#pragma once

#include <utility>

#include "engine/foundation/engine_state.h"

namespace vx {

// Gives a setting (an engine field or any variable) a value for one scope and puts the old value
// back when the scope ends, however it ends: the one way a procedure changes a setting for
// itself.
template <class T>
class SettingScope {
 public:
  SettingScope(T& setting, T value) : setting_(setting), saved_(setting) {
    setting_ = std::move(value);
  }
  ~SettingScope() { setting_ = std::move(saved_); }
  SettingScope(const SettingScope&) = delete;
  SettingScope& operator=(const SettingScope&) = delete;

 private:
  T& setting_;
  T saved_;
};

template <auto Member>
SettingScope(const EngineField<Member>&, typename EngineField<Member>::Type)
    -> SettingScope<typename EngineField<Member>::Type>;

}  // namespace vx
