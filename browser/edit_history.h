#pragma once
// This session's edits, newest last, for undo and redo: a record's values before and after a
// posted edit, an appended record, or a deletion mark set or taken away. Values are the
// fields' texts as the dataset reads and takes them (memo texts included), so that writing
// them back goes through the same checks as typing them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx::browser {

class EditHistory {
 public:
  // Field name and text, in field order.
  using Values = std::vector<std::pair<std::string, std::string>>;
  enum class Kind { kChange, kAppend, kDelete, kRecall };
  struct Edit {
    Kind kind = Kind::kChange;
    std::int32_t record = 0;
    Values before;
    Values after;
  };

  // A new edit; what was undone can no longer be redone.
  void Add(Edit edit) {
    undo_.push_back(std::move(edit));
    redo_.clear();
  }
  bool CanUndo() const { return !undo_.empty(); }
  bool CanRedo() const { return !redo_.empty(); }
  const Edit& NextUndo() const { return undo_.back(); }
  const Edit& NextRedo() const { return redo_.back(); }
  // The next undo (redo) was carried out: it moves to the other list.
  void Undone() {
    redo_.push_back(std::move(undo_.back()));
    undo_.pop_back();
  }
  void Redone() {
    undo_.push_back(std::move(redo_.back()));
    redo_.pop_back();
  }
  void Clear() {
    undo_.clear();
    redo_.clear();
  }

 private:
  std::vector<Edit> undo_;
  std::vector<Edit> redo_;
};

}  // namespace vx::browser
