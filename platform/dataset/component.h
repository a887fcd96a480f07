#pragma once
// The component model the dataset framework and the controls are built on: TObject, small
// enumeration sets, TComponent with its owner, name, component state, owned children and free
// notifications, and the notify-event type. Nothing about data or drawing belongs here.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace vx {

// The root of every framework class; only gives a virtual destructor so that an owner can
// destroy what it owns through a base pointer.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A set of enumeration values (up to 32 of them), standing for the `set of` types of the
// framework: TSet<TLocateOption>{loCaseInsensitive}.Contains(loCaseInsensitive).
template <typename E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> values) {
    for (E value : values) Include(value);
  }
  constexpr bool Contains(E value) const { return (bits_ & Bit(value)) != 0; }
  constexpr TSet& Include(E value) {
    bits_ |= Bit(value);
    return *this;
  }
  constexpr TSet& Exclude(E value) {
    bits_ &= ~Bit(value);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(E value) {
    return std::uint32_t{1} << static_cast<unsigned>(value);
  }
  std::uint32_t bits_ = 0;
};

// Event taking only the object that fired it.
using TNotifyEvent = std::function<void(TObject* sender)>;

enum TComponentStateFlag { csLoading, csReading, csWriting, csDestroying, csDesigning, csUpdating };
using TComponentState = TSet<TComponentStateFlag>;

enum TOperation { opInsert, opRemove };

// Horizontal alignment of a field's text, used by grids and labels.
enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// A named object with an owner. The owner destroys its components (the last added first) when it
// is destroyed; a component destroyed earlier leaves its owner's list. Components that keep a
// pointer to another component they do not own register with FreeNotification() and are told
// through Notification(opRemove) before that component goes away.
//
// Components are created on the heap with their owner and deleted by it (or directly, which
// removes them from the owner); a component without an owner belongs to whoever created it.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name);

  // Owned components, in the order they were added.
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(index); }
  // Answers the owned component with the name (case-insensitive), or nullptr.
  TComponent* FindComponent(const std::string& name) const;
  // Takes `component` into this owner's list, out of its previous owner's.
  void InsertComponent(TComponent* component);
  // Releases `component` from this owner's list without destroying it.
  void RemoveComponent(TComponent* component);

  const TComponentState& ComponentState() const { return component_state_; }
  // Marks the component (and its owned components) as living in a form designer.
  void SetDesigning(bool designing);
  // Loading brackets the setting of stored properties: BeginLoading() sets csLoading and
  // csReading; EndLoading() clears them and calls Loaded(), where a component applies the
  // properties it had to defer (a dataset opens when Active was stored as true).
  void BeginLoading();
  void EndLoading();

  // Asks for Notification(this, opRemove) on `component` before this component is destroyed,
  // and the other way round. The link is removed when either side goes away.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 protected:
  // Told about components going away (opRemove) that this one registered with, and about
  // components inserted into or removed from this owner.
  virtual void Notification(TComponent* component, TOperation operation) {}
  virtual void Loaded() {}
  // Sets csDestroying; a descendant's destructor calls it before tearing down so that
  // notifications during the tear-down can tell.
  void Destroying();

 private:
  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> free_notifies_;
  TComponentState component_state_;
};

}  // namespace vx
