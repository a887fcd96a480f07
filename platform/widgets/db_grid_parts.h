#pragma once
// The pieces the grid's files share: its link to the data source and its watch over the in-place
// editor.

#include <QKeyEvent>
#include <QObject>

#include "platform/widgets/db_grid.h"

namespace vx {

// The grid's view of its data source: every notification goes to the grid.
class GridDataLink : public TDataLink {
 public:
  explicit GridDataLink(TDBGrid* grid) : grid_(grid) {}

 protected:
  void ActiveChanged() override { grid_->LinkActive(Active()); }
  void DataSetChanged() override { grid_->DataChanged(); }
  void DataSetScrolled(int distance) override { grid_->Scrolled(distance); }
  void LayoutChanged() override { grid_->LayoutChanged(); }
  void RecordChanged(TField* field) override { grid_->RecordChanged(field); }
  void EditingChanged() override { grid_->EditingChanged(); }
  void UpdateData() override { grid_->UpdateData(); }
  void FocusControl(TField** field) override {
    if (field != nullptr && *field != nullptr && grid_->FocusColumnOf(*field)) *field = nullptr;
  }

 private:
  TDBGrid* grid_;
};

// Watches the in-place editor: the keys that leave the cell go to the grid, and focus moving
// between the editor and the rest of the form counts as entering or leaving the grid.
class GridEditorFilter : public QObject {
 public:
  GridEditorFilter(TDBGrid* grid, QObject* parent) : QObject(parent), grid(grid) {}
  TDBGrid* grid;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (grid == nullptr) return false;
    switch (event->type()) {
      case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool ctrl = key->modifiers() & Qt::ControlModifier;
        const bool modifying = (!ctrl && !key->text().isEmpty() && key->text()[0].isPrint()) ||
                               key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Delete ||
                               (ctrl && (key->key() == Qt::Key_V || key->key() == Qt::Key_X ||
                                         key->key() == Qt::Key_Z));
        bool swallow = true;
        grid->Guard([&] {
          swallow =
              grid->EditorKey(key->key(), key->modifiers() & Qt::ShiftModifier, ctrl, modifying);
        });
        return swallow;
      }
      case QEvent::FocusIn:
        grid->Guard([this] { grid->EnterGrid(); });
        return false;
      case QEvent::FocusOut:
        grid->Guard([this] {
          if (!grid->FocusWithin()) grid->LeaveGrid();
        });
        return false;
      default:
        return false;
    }
  }
};

}  // namespace vx
