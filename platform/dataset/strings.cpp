#include "platform/dataset/strings.h"

#include <algorithm>

#include "platform/dataset/sys_utils.h"

namespace vx {

// --- TStrings ----------------------------------------------------------------------------------

int TStrings::Add(const std::string& text) {
  const int index = Count();
  Insert(index, text);
  return index;
}

int TStrings::AddObject(const std::string& text, TObject* object) {
  const int index = Add(text);
  PutObject(index, object);
  return index;
}

void TStrings::AddStrings(const TStrings& strings) {
  BeginUpdate();
  for (int i = 0; i < strings.Count(); ++i) AddObject(strings.Get(i), strings.GetObject(i));
  EndUpdate();
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  BeginUpdate();
  Clear();
  AddStrings(source);
  EndUpdate();
}

void TStrings::Put(int index, const std::string& text) {
  TObject* object = GetObject(index);
  Delete(index);
  Insert(index, text);
  PutObject(index, object);
}

int TStrings::IndexOf(const std::string& text) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameText(Get(i), text)) return i;
  }
  return -1;
}

int TStrings::IndexOfObject(const TObject* object) const {
  for (int i = 0; i < Count(); ++i) {
    if (GetObject(i) == object) return i;
  }
  return -1;
}

void TStrings::Move(int from, int to) {
  if (from == to) return;
  const std::string text = Get(from);
  TObject* object = GetObject(from);
  BeginUpdate();
  Delete(from);
  Insert(to, text);
  PutObject(to, object);
  EndUpdate();
}

void TStrings::Exchange(int a, int b) {
  if (a == b) return;
  const std::string text_a = Get(a);
  TObject* object_a = GetObject(a);
  BeginUpdate();
  Put(a, Get(b));
  PutObject(a, GetObject(b));
  Put(b, text_a);
  PutObject(b, object_a);
  EndUpdate();
}

std::string TStrings::Text() const {
  std::string text;
  for (int i = 0; i < Count(); ++i) {
    text += Get(i);
    text += '\n';
  }
  return text;
}

void TStrings::SetText(const std::string& text) {
  BeginUpdate();
  Clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      Add(text.substr(start));
      break;
    }
    Add(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  EndUpdate();
}

std::string TStrings::CommaText() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    const std::string s = Get(i);
    if (i > 0) out += ',';
    const bool quote = s.empty() || s.find_first_of(" ,\"\t") != std::string::npos;
    if (!quote) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

void TStrings::SetCommaText(const std::string& text) {
  BeginUpdate();
  Clear();
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::string item;
    if (i < text.size() && text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
      while (i < text.size() && text[i] != ',') ++i;
    } else {
      while (i < text.size() && text[i] != ',') item += text[i++];
      item = TrimRight(item);
    }
    Add(item);
    if (i < text.size() && text[i] == ',') {
      ++i;
      if (i == text.size()) Add("");
    }
  }
  EndUpdate();
}

std::string TStrings::Names(int index) const {
  const std::string s = Get(index);
  const std::size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStrings::ValueFromIndex(int index) const {
  const std::string s = Get(index);
  const std::size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

int TStrings::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string s = Get(i);
    const std::size_t eq = s.find('=');
    if (eq != std::string::npos && SameText(s.substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStrings::Values(const std::string& name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStrings::SetValues(const std::string& name, const std::string& value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  if (index < 0) {
    Add(name + "=" + value);
  } else {
    Put(index, name + "=" + value);
  }
}

void TStrings::BeginUpdate() {
  if (update_count_++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (update_count_ > 0 && --update_count_ == 0) SetUpdateState(false);
}

bool TStrings::Equals(const TStrings& other) const {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i) {
    if (Get(i) != other.Get(i)) return false;
  }
  return true;
}

// --- TStringList -------------------------------------------------------------------------------

TStringList::TStringList(std::initializer_list<std::string> lines) {
  for (const std::string& line : lines) items_.push_back({line, nullptr});
}

void TStringList::CheckIndex(int index, int limit) const {
  if (index < 0 || index >= limit) {
    throw EStringListError(Format("List index out of bounds (%d)", {std::to_string(index)}));
  }
}

void TStringList::Changing() {
  if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
  if (UpdateCount() > 0) {
    changed_while_updating_ = true;
    return;
  }
  if (OnChange) OnChange(this);
}

void TStringList::SetUpdateState(bool updating) {
  if (updating) {
    changed_while_updating_ = false;
    if (OnChanging) OnChanging(this);
  } else if (changed_while_updating_) {
    changed_while_updating_ = false;
    if (OnChange) OnChange(this);
  }
}

void TStringList::Clear() {
  if (items_.empty()) return;
  Changing();
  items_.clear();
  Changed();
}

void TStringList::Delete(int index) {
  CheckIndex(index, Count());
  Changing();
  items_.erase(items_.begin() + index);
  Changed();
}

void TStringList::Insert(int index, const std::string& text) {
  CheckIndex(index, Count() + 1);
  Changing();
  items_.insert(items_.begin() + index, Item{text, nullptr});
  Changed();
}

int TStringList::Add(const std::string& text) {
  Changing();
  items_.push_back(Item{text, nullptr});
  Changed();
  return Count() - 1;
}

std::string TStringList::Get(int index) const {
  CheckIndex(index, Count());
  return items_[static_cast<std::size_t>(index)].text;
}

TObject* TStringList::GetObject(int index) const {
  CheckIndex(index, Count());
  return items_[static_cast<std::size_t>(index)].object;
}

void TStringList::Put(int index, const std::string& text) {
  CheckIndex(index, Count());
  Changing();
  items_[static_cast<std::size_t>(index)].text = text;
  Changed();
}

void TStringList::PutObject(int index, TObject* object) {
  CheckIndex(index, Count());
  items_[static_cast<std::size_t>(index)].object = object;
}

}  // namespace vx
