// Data sources and field data links as a memo editor uses them, component ownership and free
// notification, and the application's exception and message hooks.

#include "platform/dataset/data_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dataset/application.h"
#include "platform/dataset/component.h"
#include "platform/dataset/sys_utils.h"
#include "tests/platform/dataset/mem_dataset.h"

namespace vx::test {
namespace {

using Log = std::vector<std::string>;

// An editor bound to one field: keeps its own text, as a memo control would.
struct Editor {
  TFieldDataLink link;
  std::string text;
  Log log;

  Editor() {
    link.OnDataChange = [this](TObject*) {
      text = link.Field() != nullptr ? link.Field()->AsString() : std::string();
      log.push_back("data:" + text);
    };
    link.OnEditingChange = [this](TObject*) {
      log.push_back(link.Editing() ? "editing" : "browsing");
    };
    link.OnActiveChange = [this](TObject*) {
      log.push_back(link.Active() ? "active" : "inactive");
    };
    link.OnUpdateData = [this](TObject*) {
      log.push_back("update:" + text);
      link.Field()->SetAsString(text);
    };
    link.OnFocusControl = [this](TObject*) { log.push_back("focus"); };
  }

  void Type(const std::string& typed) {
    if (!link.Edit()) return;
    text = typed;
    link.Modified();
  }
};

class DataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds_ = MakeFilms(&root_, 3);
    source_ = new TDataSource(&root_);
    source_->SetDataSet(ds_);
    editor_.link.SetFieldName("NAME");
    editor_.link.SetDataSource(source_);
  }

  Log log_;
  Editor editor_;
  TComponent root_{nullptr};
  MemDataSet* ds_ = nullptr;
  TDataSource* source_ = nullptr;
};

TEST_F(DataSourceTest, FieldLinkFollowsTheRecordAndWritesBackTypedText) {
  ds_->Open();
  EXPECT_EQ(editor_.log, (Log{"data:Name 1", "active"}));
  EXPECT_EQ(editor_.link.Field(), ds_->FieldByName("NAME"));

  editor_.log.clear();
  ds_->Next();
  editor_.Type("Typed");
  EXPECT_EQ(ds_->State(), dsEdit);
  ds_->FieldByName("PRICE")->SetAsFloat(9);  // another field: the editor is not told
  ds_->Post();
  EXPECT_EQ(editor_.log, (Log{"data:Name 2", "editing", "data:Name 2", "update:Typed", "browsing",
                              "data:Typed"}));
  EXPECT_EQ(ds_->StoredValue(1, kName), Variant("Typed"));

  editor_.log.clear();
  editor_.Type("Dropped");
  editor_.link.Reset();
  ds_->Cancel();
  EXPECT_EQ(editor_.log, (Log{"editing", "data:Typed", "data:Typed", "browsing", "data:Typed"}));
  EXPECT_EQ(editor_.text, "Typed");
}

TEST_F(DataSourceTest, EditingNeedsAutoEditAndAModifiableField) {
  ds_->Open();
  source_->AutoEdit = false;
  EXPECT_FALSE(editor_.link.Edit());
  EXPECT_EQ(ds_->State(), dsBrowse);

  source_->AutoEdit = true;
  ds_->FieldByName("NAME")->SetReadOnly(true);
  EXPECT_FALSE(editor_.link.CanModify());
  EXPECT_FALSE(editor_.link.Edit());
  EXPECT_EQ(ds_->State(), dsBrowse);

  // Editing through another control: this link is editing only when its field can be written.
  ds_->Edit();
  EXPECT_TRUE(editor_.link.TDataLink::Editing());
  EXPECT_FALSE(editor_.link.Editing());
  ds_->Cancel();

  editor_.link.SetFieldName("NOPE");
  EXPECT_EQ(editor_.link.Field(), nullptr);
  EXPECT_FALSE(editor_.link.CanModify());
}

TEST_F(DataSourceTest, StateChangesReachTheSourceAndItsLinks) {
  std::vector<TDataSetState> states;
  source_->OnStateChange = [&](TObject*) { states.push_back(source_->State()); };
  ds_->Open();
  ds_->Edit();
  ds_->Post();
  source_->SetEnabled(false);
  EXPECT_FALSE(editor_.link.Active());
  EXPECT_EQ(editor_.link.Field(), nullptr);
  source_->SetEnabled(true);
  EXPECT_EQ(editor_.text, "Name 1");
  ds_->Close();
  EXPECT_EQ(states, (std::vector<TDataSetState>{dsBrowse, dsEdit, dsBrowse, dsInactive, dsBrowse,
                                                dsInactive}));
}

TEST_F(DataSourceTest, RequiredFieldErrorAsksTheEditorForTheFocus) {
  auto* ds = new MemDataSet(&root_, {{"NAME", ftString, 10, true}});
  source_->SetDataSet(ds);
  ds->Open();
  ds->Append();
  editor_.log.clear();
  EXPECT_THROW(ds->Post(), EDatabaseError);
  EXPECT_EQ(editor_.log, (Log{"focus"}));
}

TEST_F(DataSourceTest, OwnersDestroyWhatTheyOwnAndLinksLetGo) {
  Log destroyed;
  struct Tracked : TComponent {
    Tracked(TComponent* owner, std::string name, Log& log) : TComponent(owner), log_(log) {
      SetName(std::move(name));
    }
    ~Tracked() override { log_.push_back(Name()); }
    Log& log_;
  };
  auto* form = new TComponent(nullptr);
  new Tracked(form, "First", destroyed);
  auto* second = new Tracked(form, "Second", destroyed);
  new Tracked(second, "Child", destroyed);
  new Tracked(form, "Third", destroyed);
  EXPECT_EQ(form->FindComponent("second"), second);
  EXPECT_EQ(form->ComponentCount(), 3);
  delete form->FindComponent("First");
  EXPECT_EQ(form->ComponentCount(), 2);
  form->SetDesigning(true);
  EXPECT_TRUE(second->Components(0)->ComponentState().Contains(csDesigning));
  delete form;
  // Last added first; a component's own tear-down runs before its children go.
  EXPECT_EQ(destroyed, (Log{"First", "Third", "Second", "Child"}));

  // A dataset destroyed under an open source and a bound editor.
  ds_->Open();
  delete ds_;
  EXPECT_EQ(source_->DataSet(), nullptr);
  EXPECT_FALSE(editor_.link.Active());
  EXPECT_EQ(editor_.link.Field(), nullptr);
  ds_ = nullptr;

  // A source destroyed under a link.
  delete source_;
  EXPECT_EQ(editor_.link.DataSource(), nullptr);
}

TEST_F(DataSourceTest, ApplicationRecordsMessagesAndHandlesExceptions) {
  ClearRecordedMessages();
  ShowMessage("Saved");
  EXPECT_EQ(MessageBox("Really?", "Question", MB_YESNO), IDYES);
  try {
    Abort();
  } catch (...) {
    Application().HandleException(nullptr);
  }
  try {
    DatabaseError(SNotEditing);
  } catch (...) {
    Application().HandleException(nullptr);
  }
  EXPECT_EQ(RecordedMessages(), (Log{"Saved", "Really?", "Dataset not in edit or insert mode"}));
  EXPECT_EQ(RecordedMessageBoxes()[2].flags, MB_OK | MB_ICONSTOP);

  Log shown;
  SetMessageBoxHook([&](const std::string& text, const std::string&, int) {
    shown.push_back(text);
    return IDNO;
  });
  EXPECT_EQ(MessageBox("Delete?", "Question", MB_YESNO), IDNO);
  Application().OnException = [&](TObject*, const std::exception& e) {
    shown.push_back(std::string("handled:") + e.what());
  };
  Application().HandleException(nullptr, EDatabaseError("boom"));
  Application().OnException = nullptr;
  SetMessageBoxHook(nullptr);
  EXPECT_EQ(shown, (Log{"Delete?", "handled:boom"}));
  EXPECT_EQ(RecordedMessages().size(), 3u);
  ClearRecordedMessages();
}

}  // namespace
}  // namespace vx::test
