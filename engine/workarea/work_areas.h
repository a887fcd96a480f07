#pragma once
// The work areas: 33 numbered slots, one selected at a time, each holding one open table under
// an alias. USE opens a table into the selected area (into the caller's record image or one the
// engine owns) and closes it again; every other command acts on the selected area. The record
// image, its layout and its transfer are in record_image.h. Navigation and edits, locks and
// locate have their own units.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/table/dbf_file.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/workarea_state.h"

namespace vx {

// The current engine's settings used by USE, with their defaults: the open mode of a shared USE
// (66; 18 makes every USE exclusive); sharing (off: every table exclusive, no locks placed); an
// open mode that replaces the computed one (65535 = none); whether tables hold ANSI text (off:
// OEM); the selected area, 1..33.
inline constexpr EngineField<&WorkAreaState::use_share_mode> UseShareMode;
inline constexpr EngineField<&WorkAreaState::sharing_enabled> SharingEnabled;
inline constexpr EngineField<&WorkAreaState::open_mode_override> OpenModeOverride;
inline constexpr EngineField<&WorkAreaState::ansi_tables> AnsiTables;
inline constexpr EngineField<&WorkAreaState::current_area> CurrentArea;

// Selects area n (1..33), or the lowest free area for n = 0. Code 220 when none is free or n is
// above 33.
void Select(int n);
int Selected();

// Selects area n for one scope (any n outside 1..33 leaves the selection as it is) and selects
// again the area selected before when the scope ends, however it ends.
class AreaSelection {
 public:
  explicit AreaSelection(int area) : saved_(CurrentArea) {
    if (area >= 1 && area <= kMaxWorkAreas) CurrentArea = static_cast<std::uint8_t>(area);
  }
  ~AreaSelection() { CurrentArea = saved_; }
  AreaSelection(const AreaSelection&) = delete;
  AreaSelection& operator=(const AreaSelection&) = delete;

 private:
  std::uint8_t saved_;
};

// A table opened in the lowest free area for one scope (`command` as Use takes it, e.g.
// "NAME.DBF EXCLUSIVE"). On every way out — Close(), the scope's end, an exception — the area is
// closed quietly and the area selected before is selected again, so that no table stays open
// (and no file stays held) behind an operation that failed half way.
class OpenedArea {
 public:
  explicit OpenedArea(std::string_view command);
  ~OpenedArea() { Close(); }
  OpenedArea(const OpenedArea&) = delete;
  OpenedArea& operator=(const OpenedArea&) = delete;
  int area() const { return area_; }
  void Close();

 private:
  int previous_;
  int area_ = 0;
};

// The table in the selected area, or null when the area is free.
TableRecord* SelectedTable();
// The table in area n (1..33), or null.
TableRecord* AreaTable(int n);
// The in-use check every command starts with: answers the selected table, or records code 215
// with "No database in use [<command>]  WorkArea = <n>" and answers null.
TableRecord* InUse(std::string_view command);

// Opens a table into the selected area (closing what was there), or only closes it when the
// command is empty. The command is the file name followed by the words EXCLUSIVE and
// "ALIAS <name>". `image` and `size` are the caller's record image (both given or both omitted);
// without one the engine allocates its own.
void Use(std::string_view command, void* image = nullptr, std::uint16_t size = 0);
// USE with the record translation procedures of this table.
void UseWithHooks(std::string_view command, void* image, std::uint16_t size, RecordHook read_hook,
                  RecordHook write_hook);
// Closes the table in the selected area; CloseAll closes areas 1..33 and selects area 1.
void CloseArea();
void CloseAll();

// The size of the record image of the selected table (0 when the area is free).
std::uint32_t RecordImageSize();

bool HasProductionIndex();
void SetProductionIndexFlag(bool flag);

// Start-up and shut-down of the work-area layer: empty the table of areas, shared mode read and
// write deny nothing, area 1 selected; shut-down closes every area.
void InitWorkAreas();
void ShutdownWorkAreas();

}  // namespace vx
