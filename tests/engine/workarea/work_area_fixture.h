#pragma once
// Test support for the work-area layer: a fresh folder per test, tables made from field
// definitions or raw bytes, every area closed and the engine's settings restored afterwards.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "tests/support/temp_dir.h"

namespace vx::test {

// The typed view over the selected table's record image.
inline RecordImage Image() { return RecordImage::Of(*SelectedTable()); }

class WorkAreaTest : public ::testing::Test {
 protected:
  void SetUp() override { InitWorkAreas(); }
  void TearDown() override {
    {
      QuietErrors quiet;
      CloseAll();
    }
    SharingEnabled = true;
    UseShareMode = 66;
    OpenModeOverride = 65535;
    AnsiTables = false;
    RecordLockLimit = 0;
    LockRetries = 0;
    LockWaitSeconds = 0;
    LockFailedProc = nullptr;
    DateStyle = 0;
    CenturyOn = false;
    CenturyBase = 1956;
    EngineErrorCode = 0;
    LastErrorCode = 0;
    LastErrorMessage->clear();
  }

  // Creates a table from definitions "NAME,TYPE,LEN,DEC" and answers its path.
  std::string MakeTable(const std::string& name, const std::vector<FieldEntry>& fields) {
    TableRecord t;
    CreateDBF(t, dir_.File(name), fields);
    return dir_.File(name);
  }

  // Runs a command quietly and answers the code it left.
  template <typename F>
  std::uint16_t CodeOf(F&& command) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    command();
    return EngineErrorCode;
  }

  TempDir dir_;
};

}  // namespace vx::test
