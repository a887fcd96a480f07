#include "platform/dataset/variant.h"

#include <cmath>

#include "platform/dataset/sys_utils.h"

namespace vx {
namespace {

[[noreturn]] void CastError(Variant::Type from, Variant::Type to) {
  throw EVariantError(std::string("Could not convert variant of type (") + VarTypeName(from) +
                      ") into type (" + VarTypeName(to) + ")");
}

}  // namespace

const char* VarTypeName(Variant::Type type) {
  switch (type) {
    case Variant::Type::kNull:
      return "Null";
    case Variant::Type::kBoolean:
      return "Boolean";
    case Variant::Type::kInteger:
      return "Integer";
    case Variant::Type::kFloat:
      return "Double";
    case Variant::Type::kString:
      return "String";
    case Variant::Type::kDateTime:
      return "Date";
    case Variant::Type::kArray:
      return "Array";
  }
  return "Unknown";
}

Variant Variant::FromDateTime(double date_time) {
  Variant v;
  v.value_ = DateTime{date_time};
  return v;
}

Variant Variant::Array(std::vector<Variant> values) {
  Variant v;
  v.value_ = std::move(values);
  return v;
}

Variant::Type Variant::VarType() const {
  switch (value_.index()) {
    case 0:
      return Type::kNull;
    case 1:
      return Type::kBoolean;
    case 2:
      return Type::kInteger;
    case 3:
      return Type::kFloat;
    case 4:
      return Type::kString;
    case 5:
      return Type::kDateTime;
    default:
      return Type::kArray;
  }
}

int Variant::ArrayCount() const {
  if (const auto* items = std::get_if<std::vector<Variant>>(&value_)) {
    return static_cast<int>(items->size());
  }
  return 1;
}

const Variant& Variant::Item(int index) const {
  if (const auto* items = std::get_if<std::vector<Variant>>(&value_)) {
    if (index < 0 || index >= static_cast<int>(items->size())) {
      throw EVariantError("Variant array index out of bounds");
    }
    return (*items)[static_cast<std::size_t>(index)];
  }
  if (index != 0) throw EVariantError("Variant array index out of bounds");
  return *this;
}

std::string Variant::AsString() const {
  switch (VarType()) {
    case Type::kNull:
      return std::string();
    case Type::kBoolean:
      return std::get<bool>(value_) ? "True" : "False";
    case Type::kInteger:
      return IntToStr(std::get<std::int64_t>(value_));
    case Type::kFloat:
      return FloatToStr(std::get<double>(value_));
    case Type::kString:
      return std::get<std::string>(value_);
    case Type::kDateTime: {
      const double d = std::get<DateTime>(value_).value;
      return DateTimeToTimeStamp(d).Time == 0 ? DateToStr(d) : DateTimeToStr(d);
    }
    case Type::kArray:
      break;
  }
  CastError(VarType(), Type::kString);
}

std::int64_t Variant::AsInteger() const {
  switch (VarType()) {
    case Type::kNull:
      return 0;
    case Type::kBoolean:
      return std::get<bool>(value_) ? -1 : 0;
    case Type::kInteger:
      return std::get<std::int64_t>(value_);
    case Type::kFloat:
      return static_cast<std::int64_t>(std::llround(std::get<double>(value_)));
    case Type::kDateTime:
      return static_cast<std::int64_t>(std::llround(std::get<DateTime>(value_).value));
    case Type::kString: {
      int v = 0;
      if (TryStrToInt(std::get<std::string>(value_), v)) return v;
      break;
    }
    case Type::kArray:
      break;
  }
  CastError(VarType(), Type::kInteger);
}

double Variant::AsFloat() const {
  switch (VarType()) {
    case Type::kNull:
      return 0;
    case Type::kBoolean:
      return std::get<bool>(value_) ? -1 : 0;
    case Type::kInteger:
      return static_cast<double>(std::get<std::int64_t>(value_));
    case Type::kFloat:
      return std::get<double>(value_);
    case Type::kDateTime:
      return std::get<DateTime>(value_).value;
    case Type::kString: {
      double v = 0;
      if (TryStrToFloat(std::get<std::string>(value_), v)) return v;
      break;
    }
    case Type::kArray:
      break;
  }
  CastError(VarType(), Type::kFloat);
}

bool Variant::AsBoolean() const {
  switch (VarType()) {
    case Type::kNull:
      return false;
    case Type::kBoolean:
      return std::get<bool>(value_);
    case Type::kInteger:
      return std::get<std::int64_t>(value_) != 0;
    case Type::kFloat:
      return std::get<double>(value_) != 0;
    case Type::kDateTime:
      return std::get<DateTime>(value_).value != 0;
    case Type::kString: {
      const std::string& s = std::get<std::string>(value_);
      if (SameText(s, "True")) return true;
      if (SameText(s, "False")) return false;
      double v = 0;
      if (TryStrToFloat(s, v)) return v != 0;
      break;
    }
    case Type::kArray:
      break;
  }
  CastError(VarType(), Type::kBoolean);
}

double Variant::AsDateTime() const {
  switch (VarType()) {
    case Type::kNull:
      return 0;
    case Type::kString: {
      const std::string& s = std::get<std::string>(value_);
      TDateTime d = 0;
      if (TryStrToDate(s, d)) return d;
      return StrToDateTime(s);
    }
    case Type::kBoolean:
      break;
    case Type::kArray:
      break;
    default:
      return AsFloat();
  }
  CastError(VarType(), Type::kDateTime);
}

bool Variant::operator==(const Variant& other) const {
  const Type a = VarType();
  const Type b = other.VarType();
  const auto numeric = [](Type t) { return t == Type::kInteger || t == Type::kFloat; };
  if (a != b) {
    if (numeric(a) && numeric(b)) return AsFloat() == other.AsFloat();
    return false;
  }
  return value_ == other.value_;
}

}  // namespace vx
