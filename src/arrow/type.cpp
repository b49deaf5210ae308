// Data types: parsing of C Data Interface schemas (format strings, children, dictionaries,
// metadata) into Field/DataType trees, the debug type names, and the layout helpers that
// the other files of this layer share.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow/internal.hpp"

namespace quelm::arrow {

namespace internal {

Layout layout_of(const DataType& type) {
  switch (type.id) {
    case Type::Null:
      return Layout::Null;
    case Type::Boolean:
      return Layout::Boolean;
    case Type::Binary:
    case Type::Utf8:
      return Layout::Binary;
    case Type::LargeBinary:
    case Type::LargeUtf8:
      return Layout::LargeBinary;
    case Type::BinaryView:
    case Type::Utf8View:
      return Layout::View;
    case Type::List:
    case Type::Map:
      return Layout::List;
    case Type::LargeList:
      return Layout::LargeList;
    case Type::ListView:
      return Layout::ListView;
    case Type::LargeListView:
      return Layout::LargeListView;
    case Type::FixedSizeList:
      return Layout::FixedSizeList;
    case Type::Struct:
      return Layout::Struct;
    case Type::SparseUnion:
      return Layout::SparseUnion;
    case Type::DenseUnion:
      return Layout::DenseUnion;
    case Type::RunEndEncoded:
      return Layout::RunEndEncoded;
    case Type::Dictionary:
      return Layout::Dictionary;
    default:
      return Layout::FixedWidth;
  }
}

bool has_validity_buffer(const DataType& type) {
  switch (layout_of(type)) {
    case Layout::Null:
    case Layout::SparseUnion:
    case Layout::DenseUnion:
    case Layout::RunEndEncoded:
      return false;
    default:
      return true;
  }
}

int32_t fixed_width_bytes(const DataType& type) {
  switch (type.id) {
    case Type::Int8:
    case Type::UInt8:
      return 1;
    case Type::Int16:
    case Type::UInt16:
    case Type::Float16:
      return 2;
    case Type::Int32:
    case Type::UInt32:
    case Type::Float32:
    case Type::Date32:
    case Type::Time32:
    case Type::Decimal32:
      return 4;
    case Type::Int64:
    case Type::UInt64:
    case Type::Float64:
    case Type::Date64:
    case Type::Time64:
    case Type::Timestamp:
    case Type::Duration:
    case Type::Decimal64:
      return 8;
    case Type::Decimal128:
      return 16;
    case Type::Decimal256:
      return 32;
    case Type::Interval:
      switch (type.interval_unit) {
        case IntervalUnit::YearMonth:
          return 4;
        case IntervalUnit::DayTime:
          return 8;
        case IntervalUnit::MonthDayNano:
          return 16;
      }
      return -1;
    case Type::FixedSizeBinary:
      return type.byte_width;
    default:
      return -1;
  }
}

bool is_integer(Type id) { return integer_bytes(id) != 0; }

bool is_signed_integer(Type id) {
  return id == Type::Int8 || id == Type::Int16 || id == Type::Int32 || id == Type::Int64;
}

int32_t integer_bytes(Type id) {
  switch (id) {
    case Type::Int8:
    case Type::UInt8:
      return 1;
    case Type::Int16:
    case Type::UInt16:
      return 2;
    case Type::Int32:
    case Type::UInt32:
      return 4;
    case Type::Int64:
    case Type::UInt64:
      return 8;
    default:
      return 0;
  }
}

std::string_view type_name(Type id) {
  switch (id) {
    case Type::Null: return "Null";
    case Type::Boolean: return "Boolean";
    case Type::Int8: return "Int8";
    case Type::Int16: return "Int16";
    case Type::Int32: return "Int32";
    case Type::Int64: return "Int64";
    case Type::UInt8: return "UInt8";
    case Type::UInt16: return "UInt16";
    case Type::UInt32: return "UInt32";
    case Type::UInt64: return "UInt64";
    case Type::Float16: return "Float16";
    case Type::Float32: return "Float32";
    case Type::Float64: return "Float64";
    case Type::Binary: return "Binary";
    case Type::LargeBinary: return "LargeBinary";
    case Type::BinaryView: return "BinaryView";
    case Type::Utf8: return "Utf8";
    case Type::LargeUtf8: return "LargeUtf8";
    case Type::Utf8View: return "Utf8View";
    case Type::FixedSizeBinary: return "FixedSizeBinary";
    case Type::Decimal32: return "Decimal32";
    case Type::Decimal64: return "Decimal64";
    case Type::Decimal128: return "Decimal128";
    case Type::Decimal256: return "Decimal256";
    case Type::Date32: return "Date32";
    case Type::Date64: return "Date64";
    case Type::Time32: return "Time32";
    case Type::Time64: return "Time64";
    case Type::Timestamp: return "Timestamp";
    case Type::Duration: return "Duration";
    case Type::Interval: return "Interval";
    case Type::List: return "List";
    case Type::LargeList: return "LargeList";
    case Type::ListView: return "ListView";
    case Type::LargeListView: return "LargeListView";
    case Type::FixedSizeList: return "FixedSizeList";
    case Type::Struct: return "Struct";
    case Type::Map: return "Map";
    case Type::SparseUnion: return "Union";
    case Type::DenseUnion: return "Union";
    case Type::RunEndEncoded: return "RunEndEncoded";
    case Type::Dictionary: return "Dictionary";
  }
  return "Unknown";
}

namespace {

const char* simple_format(Type id) {
  switch (id) {
    case Type::Null: return "n";
    case Type::Boolean: return "b";
    case Type::Int8: return "c";
    case Type::UInt8: return "C";
    case Type::Int16: return "s";
    case Type::UInt16: return "S";
    case Type::Int32: return "i";
    case Type::UInt32: return "I";
    case Type::Int64: return "l";
    case Type::UInt64: return "L";
    case Type::Float16: return "e";
    case Type::Float32: return "f";
    case Type::Float64: return "g";
    case Type::Binary: return "z";
    case Type::LargeBinary: return "Z";
    case Type::BinaryView: return "vz";
    case Type::Utf8: return "u";
    case Type::LargeUtf8: return "U";
    case Type::Utf8View: return "vu";
    case Type::Date32: return "tdD";
    case Type::Date64: return "tdm";
    case Type::List: return "+l";
    case Type::LargeList: return "+L";
    case Type::ListView: return "+vl";
    case Type::LargeListView: return "+vL";
    case Type::Struct: return "+s";
    case Type::Map: return "+m";
    case Type::RunEndEncoded: return "+r";
    default: return nullptr;
  }
}

char unit_char(TimeUnit u) {
  switch (u) {
    case TimeUnit::Second: return 's';
    case TimeUnit::Millisecond: return 'm';
    case TimeUnit::Microsecond: return 'u';
    case TimeUnit::Nanosecond: return 'n';
  }
  return 's';
}

}  // namespace

std::string format_of(const DataType& type) {
  if (!type.format.empty()) return type.format;
  if (const char* f = simple_format(type.id)) return f;
  switch (type.id) {
    case Type::FixedSizeBinary:
      return "w:" + std::to_string(type.byte_width);
    case Type::Decimal32:
    case Type::Decimal64:
    case Type::Decimal128:
    case Type::Decimal256: {
      const int bits = type.id == Type::Decimal32 ? 32 : type.id == Type::Decimal64 ? 64 : type.id == Type::Decimal128 ? 128 : 256;
      return "d:" + std::to_string(type.precision) + "," + std::to_string(type.scale) + "," + std::to_string(bits);
    }
    case Type::Time32:
    case Type::Time64:
      return std::string("tt") + unit_char(type.unit);
    case Type::Timestamp:
      return std::string("ts") + unit_char(type.unit) + ":" + type.timezone.value_or("");
    case Type::Duration:
      return std::string("tD") + unit_char(type.unit);
    case Type::Interval:
      return type.interval_unit == IntervalUnit::YearMonth ? "tiM" : type.interval_unit == IntervalUnit::DayTime ? "tiD" : "tin";
    case Type::FixedSizeList:
      return "+w:" + std::to_string(type.list_size);
    case Type::SparseUnion:
    case Type::DenseUnion: {
      std::string f = type.id == Type::SparseUnion ? "+us:" : "+ud:";
      for (size_t i = 0; i < type.type_codes.size(); ++i) {
        if (i > 0) f += ',';
        f += std::to_string(type.type_codes[i]);
      }
      return f;
    }
    case Type::Dictionary:
      if (const char* f = simple_format(type.index)) return f;
      return "i";
    default:
      return "n";
  }
}

TypePtr primitive_type(Type id) {
  auto t = std::make_shared<DataType>();
  t->id = id;
  if (const char* f = simple_format(id)) t->format = f;
  return t;
}

}  // namespace internal

using namespace internal;

// ---------------------------------------------------------------------------------------
// Debug names

namespace {

std::string_view unit_name(TimeUnit u) {
  switch (u) {
    case TimeUnit::Second: return "Second";
    case TimeUnit::Millisecond: return "Millisecond";
    case TimeUnit::Microsecond: return "Microsecond";
    case TimeUnit::Nanosecond: return "Nanosecond";
  }
  return "Second";
}

std::string child_name(const DataType& t, size_t i) {
  if (i >= t.children.size() || t.children[i] == nullptr || t.children[i]->type == nullptr) return "Null";
  return t.children[i]->type->debug_name();
}

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

const DataType& DataType::value_type() const {
  if (id == Type::Dictionary && dictionary != nullptr && dictionary->type != nullptr) return *dictionary->type;
  return *this;
}

std::string DataType::debug_name() const {
  std::string name(type_name(id));
  switch (id) {
    case Type::FixedSizeBinary:
      return name + "(" + std::to_string(byte_width) + ")";
    case Type::Decimal32:
    case Type::Decimal64:
    case Type::Decimal128:
    case Type::Decimal256:
      return name + "(" + std::to_string(precision) + ", " + std::to_string(scale) + ")";
    case Type::Time32:
    case Type::Time64:
    case Type::Duration:
      return name + "(" + std::string(unit_name(unit)) + ")";
    case Type::Timestamp:
      return name + "(" + std::string(unit_name(unit)) + ", " +
             (timezone.has_value() ? "Some(" + quoted(*timezone) + ")" : std::string("None")) + ")";
    case Type::Interval:
      return name + (interval_unit == IntervalUnit::YearMonth ? "(YearMonth)"
                     : interval_unit == IntervalUnit::DayTime ? "(DayTime)"
                                                               : "(MonthDayNano)");
    case Type::List:
    case Type::LargeList:
    case Type::ListView:
    case Type::LargeListView:
      return name + "(" + child_name(*this, 0) + ")";
    case Type::FixedSizeList:
      return name + "(" + child_name(*this, 0) + ", " + std::to_string(list_size) + ")";
    case Type::Struct: {
      std::string s = name + "(";
      for (size_t i = 0; i < children.size(); ++i) {
        if (i > 0) s += ", ";
        s += (children[i] != nullptr ? children[i]->name : std::string()) + " " + child_name(*this, i);
      }
      return s + ")";
    }
    case Type::Map: {
      const DataType* entries = children.empty() || children[0] == nullptr || children[0]->type == nullptr
                                    ? nullptr
                                    : children[0]->type.get();
      if (entries == nullptr) return name + "(Null, Null)";
      return name + "(" + child_name(*entries, 0) + ", " + child_name(*entries, 1) + ")";
    }
    case Type::SparseUnion:
    case Type::DenseUnion: {
      std::string s = name + (id == Type::SparseUnion ? "(Sparse, [" : "(Dense, [");
      for (size_t i = 0; i < children.size(); ++i) {
        if (i > 0) s += ", ";
        const int code = i < type_codes.size() ? type_codes[i] : static_cast<int>(i);
        s += std::to_string(code) + ": " + child_name(*this, i);
      }
      return s + "])";
    }
    case Type::RunEndEncoded:
      return name + "(" + child_name(*this, 0) + ", " + child_name(*this, 1) + ")";
    case Type::Dictionary: {
      const std::string values =
          dictionary != nullptr && dictionary->type != nullptr ? dictionary->type->debug_name() : std::string("Null");
      return name + "(" + std::string(type_name(index)) + ", " + values + ")";
    }
    default:
      return name;
  }
}

int64_t Schema::find(std::string_view name) const {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i] != nullptr && fields[i]->name == name) return static_cast<int64_t>(i);
  }
  return -1;
}

bool is_text(const DataType& type) {
  return type.id == Type::Utf8 || type.id == Type::LargeUtf8 || type.id == Type::Utf8View;
}

// ---------------------------------------------------------------------------------------
// Schema import

namespace {

// Deeper trees than this are refused rather than risking the stack on hostile input.
constexpr int kMaxDepth = 64;

std::string field_label(std::string_view name) { return "field '" + std::string(name) + "'"; }

// Copies the metadata bytes, walking them to find their length: an int32 pair count, then
// per pair an int32 key length, the key, an int32 value length, the value.
Result<std::string> read_metadata(const char* p, std::string_view name) {
  if (p == nullptr) return std::string();
  auto read_len = [&](int64_t at) {
    int32_t v;
    std::memcpy(&v, p + at, sizeof v);
    return v;
  };
  const int32_t pairs = read_len(0);
  if (pairs < 0) return invalid("metadata of " + field_label(name) + " has a negative pair count " + std::to_string(pairs));
  int64_t at = 4;
  for (int32_t i = 0; i < pairs; ++i) {
    for (int part = 0; part < 2; ++part) {
      const int32_t len = read_len(at);
      if (len < 0) {
        return invalid("metadata of " + field_label(name) + " has a negative " + (part == 0 ? "key" : "value") +
                       " length " + std::to_string(len));
      }
      at += 4 + static_cast<int64_t>(len);
      if (at > (int64_t{1} << 40)) return invalid("metadata of " + field_label(name) + " is implausibly long");
    }
  }
  return std::string(p, static_cast<size_t>(at));
}

// Parses a whole decimal number (optionally negative) into [lo, hi].
bool parse_number(std::string_view s, int64_t lo, int64_t hi, int32_t* out) {
  bool neg = false;
  if (!s.empty() && s[0] == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 12) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (neg) v = -v;
  if (v < lo || v > hi) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

Error bad_format(std::string_view fmt) { return invalid("unrecognised format string '" + std::string(fmt) + "'"); }

Status expect_children(std::string_view fmt, const std::vector<FieldPtr>& children, size_t n) {
  if (children.size() != n) {
    return invalid("format string '" + std::string(fmt) + "' needs " + std::to_string(n) + " child" +
                   (n == 1 ? "" : "ren") + ", got " + std::to_string(children.size()));
  }
  return ok_status();
}

bool time_unit(char c, TimeUnit* u) {
  switch (c) {
    case 's': *u = TimeUnit::Second; return true;
    case 'm': *u = TimeUnit::Millisecond; return true;
    case 'u': *u = TimeUnit::Microsecond; return true;
    case 'n': *u = TimeUnit::Nanosecond; return true;
    default: return false;
  }
}

// Builds the type that `fmt` describes over already parsed children.
Result<std::shared_ptr<DataType>> parse_format(std::string_view fmt, std::vector<FieldPtr> children) {
  auto t = std::make_shared<DataType>();
  t->format = std::string(fmt);
  auto leaf = [&](Type id) -> Result<std::shared_ptr<DataType>> {
    t->id = id;
    if (Status s = expect_children(fmt, children, 0); !s) return s.take_error();
    return t;
  };
  if (fmt.size() == 1) {
    switch (fmt[0]) {
      case 'n': return leaf(Type::Null);
      case 'b': return leaf(Type::Boolean);
      case 'c': return leaf(Type::Int8);
      case 'C': return leaf(Type::UInt8);
      case 's': return leaf(Type::Int16);
      case 'S': return leaf(Type::UInt16);
      case 'i': return leaf(Type::Int32);
      case 'I': return leaf(Type::UInt32);
      case 'l': return leaf(Type::Int64);
      case 'L': return leaf(Type::UInt64);
      case 'e': return leaf(Type::Float16);
      case 'f': return leaf(Type::Float32);
      case 'g': return leaf(Type::Float64);
      case 'z': return leaf(Type::Binary);
      case 'Z': return leaf(Type::LargeBinary);
      case 'u': return leaf(Type::Utf8);
      case 'U': return leaf(Type::LargeUtf8);
      default: return bad_format(fmt);
    }
  }
  if (fmt == "vz") return leaf(Type::BinaryView);
  if (fmt == "vu") return leaf(Type::Utf8View);
  if (fmt.starts_with("w:")) {
    if (!parse_number(fmt.substr(2), 0, std::numeric_limits<int32_t>::max(), &t->byte_width)) {
      return invalid("malformed fixed-size binary width in format string '" + std::string(fmt) + "'");
    }
    return leaf(Type::FixedSizeBinary);
  }
  if (fmt.starts_with("d:")) {
    std::string_view rest = fmt.substr(2);
    std::vector<std::string_view> parts;
    while (true) {
      const size_t comma = rest.find(',');
      parts.push_back(rest.substr(0, comma));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    int32_t bits = 128;
    if (parts.size() < 2 || parts.size() > 3 ||
        !parse_number(parts[0], 1, std::numeric_limits<int32_t>::max(), &t->precision) ||
        !parse_number(parts[1], std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), &t->scale) ||
        (parts.size() == 3 && !parse_number(parts[2], 0, 1024, &bits))) {
      return invalid("malformed decimal parameters in format string '" + std::string(fmt) + "'");
    }
    Type id;
    int32_t max_precision;
    switch (bits) {
      case 32: id = Type::Decimal32; max_precision = 9; break;
      case 64: id = Type::Decimal64; max_precision = 18; break;
      case 128: id = Type::Decimal128; max_precision = 38; break;
      case 256: id = Type::Decimal256; max_precision = 76; break;
      default:
        return invalid("unsupported decimal bit width " + std::to_string(bits) + " in format string '" +
                       std::string(fmt) + "'");
    }
    if (t->precision > max_precision) {
      return invalid("decimal precision " + std::to_string(t->precision) + " exceeds " + std::to_string(max_precision) +
                     " in format string '" + std::string(fmt) + "'");
    }
    return leaf(id);
  }
  if (fmt[0] == 't') {
    if (fmt == "tdD") return leaf(Type::Date32);
    if (fmt == "tdm") return leaf(Type::Date64);
    if (fmt == "tiM" || fmt == "tiD" || fmt == "tin") {
      t->interval_unit = fmt[2] == 'M' ? IntervalUnit::YearMonth : fmt[2] == 'D' ? IntervalUnit::DayTime : IntervalUnit::MonthDayNano;
      return leaf(Type::Interval);
    }
    if (fmt.size() == 3 && fmt[1] == 't' && time_unit(fmt[2], &t->unit)) {
      return leaf(t->unit == TimeUnit::Second || t->unit == TimeUnit::Millisecond ? Type::Time32 : Type::Time64);
    }
    if (fmt.size() == 3 && fmt[1] == 'D' && time_unit(fmt[2], &t->unit)) return leaf(Type::Duration);
    if (fmt.size() >= 4 && fmt[1] == 's' && time_unit(fmt[2], &t->unit) && fmt[3] == ':') {
      if (fmt.size() > 4) t->timezone = std::string(fmt.substr(4));
      return leaf(Type::Timestamp);
    }
    return bad_format(fmt);
  }
  if (fmt[0] == '+') {
    auto nested = [&](Type id, size_t n) -> Result<std::shared_ptr<DataType>> {
      t->id = id;
      if (Status s = expect_children(fmt, children, n); !s) return s.take_error();
      t->children = std::move(children);
      return t;
    };
    if (fmt == "+l") return nested(Type::List, 1);
    if (fmt == "+L") return nested(Type::LargeList, 1);
    if (fmt == "+vl") return nested(Type::ListView, 1);
    if (fmt == "+vL") return nested(Type::LargeListView, 1);
    if (fmt == "+s") return nested(Type::Struct, children.size());
    if (fmt == "+m") {
      if (Status s = expect_children(fmt, children, 1); !s) return s.take_error();
      const DataType& entries = *children[0]->type;
      if (entries.id != Type::Struct || entries.children.size() != 2) {
        return invalid("the child of a map (format string '+m') must be a struct of key and value, got " +
                       entries.debug_name());
      }
      return nested(Type::Map, 1);
    }
    if (fmt == "+r") {
      if (Status s = expect_children(fmt, children, 2); !s) return s.take_error();
      const Type ends = children[0]->type->id;
      if (ends != Type::Int16 && ends != Type::Int32 && ends != Type::Int64) {
        return invalid("run ends of a run-end encoded type must be Int16, Int32 or Int64, got " +
                       children[0]->type->debug_name());
      }
      return nested(Type::RunEndEncoded, 2);
    }
    if (fmt.starts_with("+w:")) {
      if (!parse_number(fmt.substr(3), 0, std::numeric_limits<int32_t>::max(), &t->list_size)) {
        return invalid("malformed fixed-size list size in format string '" + std::string(fmt) + "'");
      }
      return nested(Type::FixedSizeList, 1);
    }
    if (fmt.starts_with("+us:") || fmt.starts_with("+ud:")) {
      std::string_view rest = fmt.substr(4);
      std::vector<int8_t> codes;
      bool seen[128] = {};
      while (!rest.empty()) {
        const size_t comma = rest.find(',');
        int32_t code = 0;
        if (!parse_number(rest.substr(0, comma), 0, 127, &code) || seen[code]) {
          return invalid("malformed union type ids in format string '" + std::string(fmt) + "'");
        }
        seen[code] = true;
        codes.push_back(static_cast<int8_t>(code));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
        if (rest.empty()) return invalid("malformed union type ids in format string '" + std::string(fmt) + "'");
      }
      if (codes.size() != children.size()) {
        return invalid("union format string '" + std::string(fmt) + "' lists " + std::to_string(codes.size()) +
                       " type ids for " + std::to_string(children.size()) + " children");
      }
      t->type_codes = std::move(codes);
      return nested(fmt[2] == 's' ? Type::SparseUnion : Type::DenseUnion, children.size());
    }
  }
  return bad_format(fmt);
}

Result<FieldPtr> import_node(const ArrowSchema& s, int depth) {
  const std::string name = s.name != nullptr ? std::string(s.name) : std::string();
  if (depth > kMaxDepth) return invalid("type of " + field_label(name) + " is nested deeper than 64 levels");
  if (s.release == nullptr) return invalid("the schema of " + field_label(name) + " has been released");
  if (s.format == nullptr) return invalid("the format string of " + field_label(name) + " is null");
  const std::string_view fmt(s.format);
  auto metadata = read_metadata(s.metadata, name);
  if (!metadata) return metadata.take_error();
  if (s.n_children < 0) {
    return invalid(field_label(name) + " has a negative child count " + std::to_string(s.n_children));
  }
  if (s.n_children > 0 && s.children == nullptr) {
    return invalid(field_label(name) + " has " + std::to_string(s.n_children) + " children but no child pointers");
  }
  std::vector<FieldPtr> children;
  children.reserve(static_cast<size_t>(s.n_children));
  for (int64_t i = 0; i < s.n_children; ++i) {
    if (s.children[i] == nullptr) return invalid("child " + std::to_string(i) + " of " + field_label(name) + " is null");
    auto child = import_node(*s.children[i], depth + 1);
    if (!child) return child.take_error();
    children.push_back(std::move(child).value());
  }
  auto type = parse_format(fmt, std::move(children));
  if (!type) return type.take_error();

  auto field = std::make_shared<Field>();
  field->name = name;
  field->flags = s.flags;
  field->metadata = std::move(metadata).value();
  if (s.dictionary != nullptr) {
    const DataType& index = **type;
    if (!is_integer(index.id)) {
      return invalid("dictionary index type of " + field_label(name) + " must be an integer type, got format string '" +
                     std::string(fmt) + "'");
    }
    auto values = import_node(*s.dictionary, depth + 1);
    if (!values) return values.take_error();
    auto dict = std::make_shared<DataType>();
    dict->id = Type::Dictionary;
    dict->format = index.format;
    dict->index = index.id;
    dict->dictionary = std::move(values).value();
    dict->ordered = (s.flags & ARROW_FLAG_DICTIONARY_ORDERED) != 0;
    field->type = std::move(dict);
  } else {
    field->type = std::move(type).value();
  }
  return FieldPtr(std::move(field));
}

}  // namespace

Result<SchemaPtr> import_schema(const ArrowSchema& schema) {
  auto field = import_node(schema, 0);
  if (!field) return field.take_error();
  const Field& f = **field;
  if (f.type->id != Type::Struct) return c_data_error("Unable to interpret C data struct as a Schema");
  auto out = std::make_shared<Schema>();
  out->fields = f.type->children;
  out->metadata = f.metadata;
  return SchemaPtr(std::move(out));
}

}  // namespace quelm::arrow
