#include "core/json.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/error.h"
#include "core/text.h"

namespace kolvex::core {
namespace {

void append_u_escape(std::string& out, unsigned unit) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(unit >> shift) & 0xF];
}

// Python's json encoder: with ensure_ascii everything outside printable ASCII
// (DEL included) is escaped; without it only '"', '\\' and U+0000..U+001F are.
void append_json_string(std::string& out, std::string_view text, bool ensure_ascii) {
  out += '"';
  // Printable ASCII without quote or backslash (paths, hashes, versions) stands
  // as it is: the common case skips decoding into code points.
  const auto plain = [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; };
  if (std::all_of(text.begin(), text.end(), plain)) {
    out += text;
    out += '"';
    return;
  }
  const std::vector<char32_t> points = to_code_points(text);
  for (char32_t point : points) {
    switch (point) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\b': out += "\\b"; continue;
      case U'\f': out += "\\f"; continue;
      default: break;
    }
    if (point < 0x20) {
      append_u_escape(out, point);
    } else if (!ensure_ascii || point < 0x7F) {
      append_utf8(out, point);
    } else if (point <= 0xFFFF) {
      append_u_escape(out, point);
    } else {
      const char32_t offset = point - 0x10000;
      append_u_escape(out, 0xD800 | (offset >> 10));
      append_u_escape(out, 0xDC00 | (offset & 0x3FF));
    }
  }
  out += '"';
}

std::string python_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  return format_float(value);
}

class Writer {
 public:
  explicit Writer(const JsonStyle& style) : style_(style) {
    if (style_.indent) {
      // Python writes the item separator, then the newline and indentation; with
      // indent the default separator is "," (no trailing blank before the newline).
      item_separator_ = std::string(rstrip(style_.item_separator));
      indent_unit_ = std::string(static_cast<std::size_t>(std::max(0, *style_.indent)), ' ');
    } else {
      item_separator_ = style_.item_separator;
    }
  }

  void write(const Json& value, int level) {
    switch (value.type()) {
      case Json::value_t::null: out_ += "null"; break;
      case Json::value_t::boolean: out_ += value.get<bool>() ? "true" : "false"; break;
      case Json::value_t::number_integer: out_ += std::to_string(value.get<std::int64_t>()); break;
      case Json::value_t::number_unsigned: out_ += std::to_string(value.get<std::uint64_t>()); break;
      case Json::value_t::number_float: out_ += python_float(value.get<double>()); break;
      case Json::value_t::string:
        append_json_string(out_, value.get_ref<const std::string&>(), style_.ensure_ascii);
        break;
      case Json::value_t::array: write_array(value, level); break;
      case Json::value_t::object: write_object(value, level); break;
      case Json::value_t::binary: throw ValueError("Object of type bytes is not JSON serializable");
      case Json::value_t::discarded: throw ValueError("discarded JSON value cannot be written");
    }
  }

  std::string take() { return std::move(out_); }

 private:
  void open_items(char bracket, int level) {
    out_ += bracket;
    newline(level + 1);
  }
  void between_items(int level) {
    out_ += item_separator_;
    newline(level + 1);
  }
  void close_items(char bracket, int level) {
    newline(level);
    out_ += bracket;
  }
  void newline(int level) {
    if (!style_.indent) return;
    out_ += '\n';
    for (int i = 0; i < level; ++i) out_ += indent_unit_;
  }

  void write_array(const Json& value, int level) {
    if (value.empty()) {
      out_ += "[]";
      return;
    }
    open_items('[', level);
    bool first = true;
    for (const Json& item : value) {
      if (!first) between_items(level);
      first = false;
      write(item, level + 1);
    }
    close_items(']', level);
  }

  void write_object(const Json& value, int level) {
    if (value.empty()) {
      out_ += "{}";
      return;
    }
    std::vector<std::pair<const std::string*, const Json*>> members;
    members.reserve(value.size());
    for (auto it = value.begin(); it != value.end(); ++it) members.emplace_back(&it.key(), &it.value());
    // UTF-8 byte order is code-point order, which is how Python sorts str keys.
    if (style_.sort_keys) {
      std::stable_sort(members.begin(), members.end(),
                       [](const auto& a, const auto& b) { return *a.first < *b.first; });
    }
    open_items('{', level);
    bool first = true;
    for (const auto& [key, member] : members) {
      if (!first) between_items(level);
      first = false;
      append_json_string(out_, *key, style_.ensure_ascii);
      out_ += style_.key_separator;
      write(*member, level + 1);
    }
    close_items('}', level);
  }

  const JsonStyle& style_;
  std::string item_separator_;
  std::string indent_unit_;
  std::string out_;
};

}  // namespace

std::string dump_json(const Json& value, const JsonStyle& style) {
  Writer writer(style);
  writer.write(value, 0);
  return writer.take();
}

JsonStyle compact_json_style() {
  JsonStyle style;
  style.item_separator = ",";
  style.key_separator = ":";
  style.ensure_ascii = false;
  return style;
}

std::string json_string(std::string_view text, bool ensure_ascii) {
  std::string out;
  append_json_string(out, text, ensure_ascii);
  return out;
}

Json parse_json(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& error) {
    throw ValueError(std::string("invalid JSON: ") + error.what(), std::current_exception());
  }
}

}  // namespace kolvex::core
