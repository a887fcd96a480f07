#include "tools/vxdbf/text_formats.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace vx::tool {

std::string CsvField(std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += CsvField(fields[i]);
  }
  line += "\r\n";
  return line;
}

std::string JsonString(std::string_view value) {
  std::string text = "\"";
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': text += "\\\""; break;
      case '\\': text += "\\\\"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      case '\t': text += "\\t"; break;
      default:
        if (u < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", u);
          text += escape;
        } else {
          text += c;
        }
    }
  }
  text += '"';
  return text;
}

std::optional<std::string> JsonNumber(std::string_view stored) {
  std::size_t i = 0;
  while (i < stored.size() && stored[i] == ' ') ++i;
  std::size_t end = stored.size();
  while (end > i && stored[end - 1] == ' ') --end;
  std::string_view s = stored.substr(i, end - i);
  if (s.empty()) return std::nullopt;
  std::string out;
  std::size_t p = 0;
  if (s[p] == '+' || s[p] == '-') {
    if (s[p] == '-') out += '-';
    ++p;
  }
  const auto digits = [&](std::string& into) {
    const std::size_t start = p;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) into += s[p++];
    return p - start;
  };
  std::string whole, fraction;
  const std::size_t whole_digits = digits(whole);
  std::size_t fraction_digits = 0;
  if (p < s.size() && s[p] == '.') {
    ++p;
    fraction_digits = digits(fraction);
  }
  if (whole_digits + fraction_digits == 0) return std::nullopt;
  std::size_t first = 0;
  while (first + 1 < whole.size() && whole[first] == '0') ++first;
  out += whole.empty() ? "0" : whole.substr(first);
  if (!fraction.empty()) out += "." + fraction;
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    ++p;
    std::string exponent = "e";
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) exponent += s[p++];
    std::string exponent_digits;
    if (digits(exponent_digits) == 0) return std::nullopt;
    out += exponent + exponent_digits;
  }
  if (p != s.size()) return std::nullopt;
  return out;
}

bool ReadCsvRecord(std::istream& in, std::vector<std::string>& fields, std::string& error) {
  fields.clear();
  error.clear();
  if (in.peek() == std::char_traits<char>::eof()) return false;
  std::string field;
  bool quoted = false;
  bool was_quoted = false;
  for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
    if (quoted) {
      if (c == '"') {
        if (in.peek() == '"') {
          field += static_cast<char>(in.get());
        } else {
          quoted = false;
        }
      } else {
        field += static_cast<char>(c);
      }
    } else if (c == '"' && field.empty() && !was_quoted) {
      quoted = was_quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
      was_quoted = false;
    } else if (c == '\r' && in.peek() == '\n') {
      continue;
    } else if (c == '\n') {
      fields.push_back(std::move(field));
      return true;
    } else {
      field += static_cast<char>(c);
    }
  }
  if (quoted) {
    error = "a quoted CSV field is never closed";
    return false;
  }
  fields.push_back(std::move(field));
  return true;
}

namespace {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  void SkipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                  text_[at_] == '\r' || text_[at_] == '\n')) {
      ++at_;
    }
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipBlanks();
    return at_ == text_.size();
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    out.clear();
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t code;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low;
            if (at_ + 1 < text_.size() && text_[at_] == '\\' && text_[at_ + 1] == 'u') {
              at_ += 2;
              if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              return false;
            }
          }
          AppendUtf8(code, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(JsonValue& v) {
    SkipBlanks();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '"') {
      v.kind = JsonValue::Kind::kString;
      return String(v.text);
    }
    for (const auto& [word, kind] : {std::pair{"true", JsonValue::Kind::kTrue},
                                     std::pair{"false", JsonValue::Kind::kFalse},
                                     std::pair{"null", JsonValue::Kind::kNull}}) {
      if (text_.substr(at_, std::strlen(word)) == word) {
        at_ += std::strlen(word);
        v.kind = kind;
        v.text.clear();
        return true;
      }
    }
    const std::size_t start = at_;
    while (at_ < text_.size() && std::strchr("+-0123456789.eE", text_[at_]) != nullptr) ++at_;
    if (at_ == start) return false;
    v.kind = JsonValue::Kind::kNumber;
    v.text.assign(text_.substr(start, at_ - start));
    return JsonNumber(v.text).has_value();
  }

 private:
  bool Hex4(std::uint32_t& code) {
    if (at_ + 4 > text_.size()) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[at_++];
      code <<= 4;
      if (h >= '0' && h <= '9') code |= static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') code |= static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') code |= static_cast<std::uint32_t>(h - 'A' + 10);
      else return false;
    }
    return true;
  }
  static void AppendUtf8(std::uint32_t code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool ParseJsonObject(std::string_view line, std::vector<std::pair<std::string, JsonValue>>& out,
                     std::string& error) {
  out.clear();
  JsonReader reader(line);
  error = "not a flat JSON object: " + std::string(line.substr(0, 60));
  if (!reader.Take('{')) return false;
  if (!reader.Take('}')) {
    do {
      std::string key;
      JsonValue value;
      if (!reader.String(key) || !reader.Take(':') || !reader.Value(value)) return false;
      out.emplace_back(std::move(key), std::move(value));
    } while (reader.Take(','));
    if (!reader.Take('}')) return false;
  }
  if (!reader.AtEnd()) return false;
  error.clear();
  return true;
}

}  // namespace vx::tool
