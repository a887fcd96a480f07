#pragma once
// Variant: the loosely typed value that field values, Locate keys and Lookup results travel in
// (null, boolean, integer, float, string, date-time, or an array of those), with the
// conversions between them. Nothing about fields or datasets here.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/os/exception.h"

namespace vx {

// A conversion the value does not allow, e.g. "Could not convert variant of type (String) into
// type (Double)".
class EVariantError : public os::Exception {
 public:
  using os::Exception::Exception;
};

class Variant {
 public:
  enum class Type { kNull, kBoolean, kInteger, kFloat, kString, kDateTime, kArray };

  Variant() = default;  // null
  Variant(bool value) : value_(value) {}
  Variant(int value) : value_(std::int64_t{value}) {}
  Variant(std::int64_t value) : value_(value) {}
  Variant(double value) : value_(value) {}
  Variant(const char* value) : value_(std::string(value)) {}
  Variant(std::string value) : value_(std::move(value)) {}
  static Variant Null() { return Variant(); }
  static Variant FromDateTime(double date_time);
  // VarArrayOf: several values, e.g. the keys of a multi-field Locate.
  static Variant Array(std::vector<Variant> values);

  Type VarType() const;
  bool IsNull() const { return VarType() == Type::kNull; }
  bool IsArray() const { return VarType() == Type::kArray; }
  int ArrayCount() const;
  // Element `index` of an array; a scalar answers itself for index 0.
  const Variant& Item(int index) const;

  // Conversions. Null converts to "", 0, 0.0 and false; strings are read with the format
  // settings; anything else raises EVariantError.
  std::string AsString() const;
  std::int64_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;
  double AsDateTime() const;

  // Same type and value (an integer and a float compare by value); nulls are equal.
  bool operator==(const Variant& other) const;

 private:
  struct DateTime {
    double value;
    bool operator==(const DateTime&) const = default;
  };
  std::variant<std::monostate, bool, std::int64_t, double, std::string, DateTime,
               std::vector<Variant>>
      value_;
};

const char* VarTypeName(Variant::Type type);

}  // namespace vx
