#pragma once
// TStrings, the list-of-lines interface that component properties such as field and index lists
// use, and TStringList, its vector-backed implementation with a change event. Each line may
// carry an object pointer the list does not own.

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/os/exception.h"

namespace vx {

// A list of text lines. Index errors raise EStringListError "List index out of bounds (%d)".
// Lines of the form "name=value" can be read by name with Values() and Names().
class TStrings : public TObject {
 public:
  int Count() const { return GetCount(); }
  std::string Strings(int index) const { return Get(index); }
  std::string operator[](int index) const { return Get(index); }
  void SetStrings(int index, const std::string& text) { Put(index, text); }
  TObject* Objects(int index) const { return GetObject(index); }
  void SetObjects(int index, TObject* object) { PutObject(index, object); }

  // Appends a line and answers its index.
  virtual int Add(const std::string& text);
  int AddObject(const std::string& text, TObject* object);
  void AddStrings(const TStrings& strings);
  // Replaces the contents by a copy of `source`'s lines and objects.
  void Assign(const TStrings& source);
  virtual void Clear() = 0;
  virtual void Delete(int index) = 0;
  virtual void Insert(int index, const std::string& text) = 0;
  // Answers the index of the first line equal to `text` (case-insensitive), or -1.
  virtual int IndexOf(const std::string& text) const;
  int IndexOfObject(const TObject* object) const;
  void Move(int from, int to);
  void Exchange(int a, int b);

  // The lines joined, each followed by a line feed; setting splits at CR LF, LF or CR (a final
  // line break does not make an empty last line).
  std::string Text() const;
  void SetText(const std::string& text);
  // Comma-separated lines; lines with blanks, commas or quotes are double-quoted.
  std::string CommaText() const;
  void SetCommaText(const std::string& text);

  // "name=value" access. Names(i) is the part before the first "=" (empty when none).
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  int IndexOfName(const std::string& name) const;
  std::string Values(const std::string& name) const;
  // Sets the value of `name`, adding a line when missing; an empty value deletes the line.
  void SetValues(const std::string& name, const std::string& value);

  // Between BeginUpdate and EndUpdate a TStringList fires its change events once, at the end.
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return update_count_; }

  bool Equals(const TStrings& other) const;

 protected:
  virtual std::string Get(int index) const = 0;
  virtual int GetCount() const = 0;
  virtual TObject* GetObject(int index) const { return nullptr; }
  virtual void Put(int index, const std::string& text);
  virtual void PutObject(int index, TObject* object) {}
  virtual void SetUpdateState(bool updating) {}

 private:
  int update_count_ = 0;
};

// Lines in a vector. OnChanging fires before and OnChange after every change (once per
// BeginUpdate/EndUpdate bracket).
class TStringList : public TStrings {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines);

  void Clear() override;
  void Delete(int index) override;
  void Insert(int index, const std::string& text) override;
  using TStrings::Add;
  int Add(const std::string& text) override;

  TNotifyEvent OnChange;
  TNotifyEvent OnChanging;

 protected:
  std::string Get(int index) const override;
  int GetCount() const override { return static_cast<int>(items_.size()); }
  TObject* GetObject(int index) const override;
  void Put(int index, const std::string& text) override;
  void PutObject(int index, TObject* object) override;
  void SetUpdateState(bool updating) override;
  void Changing();
  void Changed();

 private:
  struct Item {
    std::string text;
    TObject* object = nullptr;
  };
  void CheckIndex(int index, int limit) const;

  std::vector<Item> items_;
  bool changed_while_updating_ = false;
};

class EStringListError : public os::Exception {
 public:
  using os::Exception::Exception;
};

}  // namespace vx
