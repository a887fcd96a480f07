// Field classes over the in-memory store: conversions between the As... accessors and text,
// the native bytes each class stores, boolean display values, dates in the locale's format,
// memo fields through blob streams, validation and text events, size checks that descendants
// relax, and binding errors.

#include "platform/dataset/fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dataset/dataset.h"
#include "platform/dataset/streams.h"
#include "platform/dataset/sys_utils.h"
#include "tests/platform/dataset/mem_dataset.h"

namespace vx::test {
namespace {

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

template <typename F>
std::string ErrorOf(F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFormatSettings();
    ds_ = MakeFilms(&root_, 3);
    ds_->Open();
  }
  void TearDown() override { ResetFormatSettings(); }

  TField* F(const char* name) { return ds_->FieldByName(name); }
  // Edits the first record, runs `change`, posts, and answers the stored bytes of `column`.
  template <typename C>
  std::vector<std::byte> Store(FilmColumn column, C&& change) {
    ds_->Edit();
    change();
    ds_->Post();
    return ds_->StoredBytes(0, column);
  }

  TComponent root_{nullptr};
  MemDataSet* ds_ = nullptr;
};

TEST_F(FieldsTest, StringFieldCutsToSizeAndConverts) {
  EXPECT_EQ(Store(kName, [&] { F("NAME")->SetAsString("abcdefghijklmnopqrstuvwxyz"); }),
            Bytes({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k',
                   'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 0}));
  EXPECT_EQ(F("NAME")->AsString(), "abcdefghijklmnopqrst");
  EXPECT_EQ(F("NAME")->DataSize(), 21);

  ds_->Edit();
  F("NAME")->SetAsInteger(-12);
  EXPECT_EQ(F("NAME")->AsString(), "-12");
  EXPECT_EQ(F("NAME")->AsInteger(), -12);
  F("NAME")->SetAsBoolean(true);
  EXPECT_EQ(F("NAME")->AsString(), "T");
  F("NAME")->SetAsString("yes");
  EXPECT_TRUE(F("NAME")->AsBoolean());
  F("NAME")->SetAsString("no");
  EXPECT_FALSE(F("NAME")->AsBoolean());
  EXPECT_EQ(ErrorOf([&] { F("NAME")->AsInteger(); }), "'no' is not a valid integer value");
  EXPECT_EQ(F("NAME")->AsVariant(), Variant("no"));
  F("NAME")->Clear();
  EXPECT_TRUE(F("NAME")->IsNull());
  EXPECT_EQ(F("NAME")->AsVariant(), Variant());
  EXPECT_EQ(ErrorOf([&] {
              F("NAME")->SetAsVariant(Variant::Array({1, 2}));
            }),
            "Cannot access field 'NAME' as type Variant");
}

TEST_F(FieldsTest, IntegerFieldsStoreLittleEndianAndCheckTheirRange) {
  EXPECT_EQ(Store(kId, [&] { F("ID")->SetAsInteger(0x01020304); }),
            Bytes({0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(Store(kQty, [&] { F("QTY")->SetAsString(" -2 "); }), Bytes({0xFE, 0xFF}));
  EXPECT_EQ(F("QTY")->AsInteger(), -2);
  EXPECT_EQ(F("QTY")->AsFloat(), -2.0);
  EXPECT_EQ(F("QTY")->Alignment(), taRightJustify);

  ds_->Edit();
  EXPECT_EQ(ErrorOf([&] { F("QTY")->SetAsInteger(40000); }),
            "40000 is not a valid value for field 'QTY'. The allowed range is -32768 to 32767");
  EXPECT_EQ(ErrorOf([&] { F("ID")->SetAsString("12x"); }), "'12x' is not a valid integer value");
  EXPECT_EQ(ErrorOf([&] { F("ID")->SetAsBoolean(true); }),
            "Cannot access field 'ID' as type Boolean");
  auto* id = static_cast<TIntegerField*>(F("ID"));
  id->MinValue = 1;
  id->MaxValue = 10;
  EXPECT_EQ(ErrorOf([&] { id->SetAsInteger(11); }),
            "11 is not a valid value for field 'ID'. The allowed range is 1 to 10");
  F("ID")->SetAsFloat(6.6);
  EXPECT_EQ(F("ID")->AsInteger(), 7);
  F("ID")->SetAsString("");
  EXPECT_TRUE(F("ID")->IsNull());
  EXPECT_EQ(F("ID")->AsString(), "");
  ds_->Post();
  EXPECT_TRUE(ds_->StoredBytes(0, kId).empty());
}

TEST_F(FieldsTest, FloatFieldWritesTextWithTheDecimalSeparator) {
  EXPECT_EQ(F("PRICE")->AsString(), "1.5");
  ds_->Edit();
  F("PRICE")->SetAsFloat(3.14);
  EXPECT_EQ(F("PRICE")->AsString(), "3.14");
  EXPECT_EQ(F("PRICE")->AsInteger(), 3);
  FormatSettings().DecimalSeparator = ',';
  EXPECT_EQ(F("PRICE")->Text(), "3,14");
  F("PRICE")->SetText("2,75");
  EXPECT_EQ(F("PRICE")->AsFloat(), 2.75);
  FormatSettings().DecimalSeparator = '.';

  auto* price = static_cast<TFloatField*>(F("PRICE"));
  F("PRICE")->SetAsFloat(1234.5);
  price->Currency = true;
  EXPECT_EQ(price->DisplayText(), "1,234.50");
  EXPECT_EQ(price->Text(), "1234.5");
  price->Precision = 3;
  price->Currency = false;
  EXPECT_EQ(price->DisplayText(), "1.23E3");
  EXPECT_EQ(ErrorOf([&] { F("PRICE")->SetAsString("1.2.3"); }),
            "'1.2.3' is not a valid floating point value");
}

TEST_F(FieldsTest, BooleanFieldReadsAndWritesItsDisplayValues) {
  auto* active = static_cast<TBooleanField*>(F("ACTIVE"));
  EXPECT_EQ(active->AsString(), "True");
  active->SetDisplayValues("Si;No");
  EXPECT_EQ(active->AsString(), "Si");
  EXPECT_EQ(active->TrueText(), "Si");
  EXPECT_EQ(active->FalseText(), "No");

  ds_->Edit();
  const struct {
    const char* text;
    bool value;
  } kCases[] = {{"No", false}, {"si", true}, {"n", false}, {"S", true}, {"NO", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    active->SetAsString(c.text);
    EXPECT_EQ(active->AsBoolean(), c.value);
    EXPECT_EQ(active->AsString(), c.value ? "Si" : "No");
  }
  EXPECT_EQ(ErrorOf([&] { active->SetAsString("x"); }),
            "'x' is not a valid boolean value for field 'ACTIVE'");
  EXPECT_EQ(ErrorOf([&] { active->SetAsString("Sir"); }),
            "'Sir' is not a valid boolean value for field 'ACTIVE'");
  active->SetAsString("");
  EXPECT_TRUE(active->IsNull());
  active->SetAsBoolean(true);
  ds_->Post();
  EXPECT_EQ(ds_->StoredBytes(0, kActive), Bytes({1, 0}));

  active->SetDisplayValues("T");  // no false text: an empty text means false
  ds_->Edit();
  active->SetAsString("");
  EXPECT_FALSE(active->IsNull());
  EXPECT_EQ(active->AsString(), "");
  active->SetDisplayValues("");
  active->SetAsString("f");
  EXPECT_EQ(active->AsString(), "False");
  EXPECT_EQ(active->AsVariant(), Variant(false));
}

TEST_F(FieldsTest, DateFieldHoldsTheDayNumberAndUsesTheShortDateFormat) {
  // Row 1 was stored as 7 March 2024 + 1 day.
  EXPECT_EQ(F("BORN")->AsDateTime(), 45359.0);
  EXPECT_EQ(F("BORN")->AsString(), "03/08/2024");
  EXPECT_EQ(ds_->StoredBytes(0, kBorn), Bytes({0x89, 0x46, 0x0B, 0x00}));  // 738953

  FormatSettings().ShortDateFormat = "dd/mm/yyyy";
  FormatSettings().DateSeparator = '.';
  EXPECT_EQ(F("BORN")->Text(), "08.03.2024");
  EXPECT_EQ(Store(kBorn, [&] { F("BORN")->SetText("29.02.2024"); }),
            Bytes({0x81, 0x46, 0x0B, 0x00}));  // 738945
  EXPECT_EQ(F("BORN")->AsDateTime(), 45351.0);

  auto* born = static_cast<TDateTimeField*>(F("BORN"));
  born->DisplayFormat = "yyyy-mm-dd";
  EXPECT_EQ(born->DisplayText(), "2024-02-29");
  EXPECT_EQ(born->Text(), "29.02.2024");

  ds_->Edit();
  EXPECT_EQ(ErrorOf([&] { F("BORN")->SetText("30.02.2024"); }), "'30.02.2024' is not a valid date");
  F("BORN")->SetAsDateTime(EncodeDate(1, 1, 1));
  EXPECT_EQ(F("BORN")->AsString(), "01.01.0001");
  EXPECT_EQ(ErrorOf([&] { F("BORN")->SetAsDateTime(-693594.0); }), "Invalid date/time value");
  F("BORN")->SetText("   ");
  EXPECT_TRUE(F("BORN")->IsNull());
  EXPECT_EQ(F("BORN")->DisplayText(), "");
}

TEST_F(FieldsTest, MemoFieldGoesThroughBlobStreams) {
  auto* plot = static_cast<TBlobField*>(F("PLOT"));
  EXPECT_TRUE(plot->IsBlob());
  EXPECT_EQ(plot->DataSize(), 0);
  EXPECT_EQ(plot->AsString(), "Plot 1");
  EXPECT_EQ(plot->DisplayText(), "(MEMO)");
  EXPECT_EQ(plot->BlobSize(), 6);

  ds_->Edit();
  plot->SetAsString("A longer plot");
  EXPECT_TRUE(plot->Modified());
  EXPECT_TRUE(ds_->Modified());
  ds_->Post();
  EXPECT_FALSE(plot->Modified());
  EXPECT_EQ(ds_->StoredMemo(0, kPlot), "A longer plot");

  ds_->Edit();
  plot->Clear();
  EXPECT_TRUE(plot->IsNull());
  EXPECT_EQ(plot->DisplayText(), "(Memo)");
  ds_->Post();
  EXPECT_TRUE(ds_->StoredBytes(0, kPlot).empty());

  ds_->Edit();
  TStringStream source("from a stream");
  plot->LoadFromStream(source);
  TStringStream copy;
  plot->SaveToStream(copy);
  EXPECT_EQ(copy.DataString(), "from a stream");
  ds_->Cancel();
  EXPECT_TRUE(plot->IsNull());
}

TEST_F(FieldsTest, ValidationSeesTheNewValueAndCanRejectIt) {
  std::vector<std::string> log;
  TField* name = F("NAME");
  name->OnValidate = [&log](TField* field) {
    log.push_back("validate:" + field->AsString());
    if (field->AsString() == "bad") throw EDatabaseError("rejected");
  };
  name->OnChange = [&log](TField* field) { log.push_back("change:" + field->AsString()); };
  ds_->Edit();
  name->SetAsString("good");
  EXPECT_EQ(ErrorOf([&] { name->SetAsString("bad"); }), "rejected");
  EXPECT_EQ(name->AsString(), "good");
  EXPECT_EQ(log, (std::vector<std::string>{"validate:good", "change:good", "validate:bad"}));
}

TEST_F(FieldsTest, TextEventsReplaceTheClassesText) {
  TField* name = F("NAME");
  name->OnGetText = [](TField* field, std::string& text, bool display_text) {
    text = (display_text ? "<" : "[") + field->AsString() + (display_text ? ">" : "]");
  };
  name->OnSetText = [](TField* field, const std::string& text) {
    field->SetAsString(UpperCase(text));
  };
  EXPECT_EQ(name->DisplayText(), "<Name 1>");
  EXPECT_EQ(name->Text(), "[Name 1]");
  ds_->Edit();
  name->SetText("quiet");
  EXPECT_EQ(name->AsString(), "QUIET");
}

// A descendant's integer field that takes the column width as its size.
class SizedIntegerField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;

 protected:
  void CheckTypeSize(int size) const override {
    if (size < 0 || size > 20) TIntegerField::CheckTypeSize(size);
  }
};

TEST_F(FieldsTest, FieldClassesCheckSizesThatDescendantsMayRelax) {
  auto* ds = new MemDataSet(&root_, {{"N", ftInteger, 10}});
  ds->AddRow({5});
  EXPECT_EQ(ErrorOf([&] { ds->Open(); }), "Invalid field size");
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->FieldCount(), 0);

  ds->field_class_override = [](TFieldType type) -> TFieldClass {
    return type == ftInteger ? &FieldClassOf<SizedIntegerField> : nullptr;
  };
  ds->Open();
  EXPECT_NE(dynamic_cast<SizedIntegerField*>(ds->FieldByName("N")), nullptr);
  EXPECT_EQ(ds->FieldByName("N")->Size(), 10);
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);
  EXPECT_EQ(ErrorOf([&] { ds->FieldByName("N")->SetSize(5); }),
            "Cannot perform this operation on an open dataset");
}

TEST_F(FieldsTest, PersistentFieldsMustMatchTheStore) {
  auto* ds = MakeFilms(&root_, 1);
  auto* wrong = new TStringField(&root_);
  wrong->SetFieldName("ID");
  wrong->SetDataSet(ds);
  EXPECT_EQ(ErrorOf([&] { ds->Open(); }),
            "Type mismatch for field 'ID', expecting: String actual: Integer");
  wrong->SetFieldName("MISSING");
  EXPECT_EQ(ErrorOf([&] { ds->Open(); }), "Field 'MISSING' not found");
  delete wrong;
  EXPECT_EQ(ds->FieldCount(), 0);

  auto* second = new TIntegerField(&root_);
  second->SetFieldName("ID");
  second->SetDataSet(ds);
  auto* duplicate = new TIntegerField(&root_);
  duplicate->SetFieldName("id");
  EXPECT_EQ(ErrorOf([&] { duplicate->SetDataSet(ds); }), "Duplicate field name 'id'");
  ds->Open();
  EXPECT_EQ(ds->FieldCount(), 1);  // persistent fields only
  EXPECT_EQ(second->FieldNo(), 1);
  EXPECT_EQ(second->AsInteger(), 1);
}

}  // namespace
}  // namespace vx::test
