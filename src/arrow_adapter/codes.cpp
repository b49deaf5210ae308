#include "arrow_adapter/codes.hpp"

#include <cmath>
#include <cstdio>

namespace quelm::adapter {

namespace {

using arrow::ArrayData;
using arrow::Type;

bool is_text_or_text_dictionary(const arrow::DataType& type, int depth) {
  if (arrow::is_text(type)) return true;
  if (type.id == Type::Dictionary && depth < 2) return is_text_or_text_dictionary(type.value_type(), depth + 1);
  return false;
}

int64_t widen_float(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// Numeric codes: the value widened to int64. A null row has no category (its value slot is
// unspecified by the format); columns without nulls take the tight loop.
template <class T>
void widen(const ArrayData& array, std::vector<int64_t>& codes) {
  const void* values = arrow::values_of(array);
  const int64_t n = array.length;
  const arrow::Validity validity = arrow::validity_of(array);
  if (validity.all_valid()) {
    for (int64_t i = 0; i < n; ++i) {
      if constexpr (std::is_same_v<T, double>) {
        codes[static_cast<size_t>(i)] = widen_float(arrow::load<double>(values, i));
      } else {
        codes[static_cast<size_t>(i)] = static_cast<int64_t>(arrow::load<T>(values, i));
      }
    }
    return;
  }
  for (int64_t i = 0; i < n; ++i) {
    if (!validity.is_valid(i)) {
      codes[static_cast<size_t>(i)] = kNoCategory;
    } else if constexpr (std::is_same_v<T, double>) {
      codes[static_cast<size_t>(i)] = widen_float(arrow::load<double>(values, i));
    } else {
      codes[static_cast<size_t>(i)] = static_cast<int64_t>(arrow::load<T>(values, i));
    }
  }
}

Result<CodedColumn> code_dictionary(const arrow::ArrayPtr& column, const std::string& name) {
  auto dict = arrow::DictionaryArray::make(column);
  if (!dict.ok()) return column_data_error(name, dict.take_error());
  auto entries = arrow::ResolvedText::make(dict->dictionary());
  if (!entries.ok()) return column_data_error(name, entries.take_error());

  CodedColumn out;
  out.is_text = true;
  const int64_t n = dict->length();
  out.codes.resize(static_cast<size_t>(n));
  // One slot per dictionary entry: each entry's text is looked up at most once.
  constexpr int64_t kUnresolved = std::numeric_limits<int64_t>::max();
  std::vector<int64_t> slots(static_cast<size_t>(entries->length()), kUnresolved);
  for (int64_t i = 0; i < n; ++i) {
    int64_t code = kNoCategory;
    if (dict->key_valid(i)) {
      const uint64_t k = dict->key(i);
      int64_t& slot = slots[static_cast<size_t>(k)];
      if (slot != kUnresolved) {
        code = slot;
      } else if (entries->is_valid(static_cast<int64_t>(k))) {
        code = out.labels.intern(entries->value(static_cast<int64_t>(k)));
        slot = code;
      } else {
        slot = kNoCategory;
      }
    }
    out.codes[static_cast<size_t>(i)] = code;
  }
  return out;
}

Result<CodedColumn> code_text(const arrow::ArrayPtr& column, const std::string& name) {
  auto texts = arrow::TextArray::make(column);
  if (!texts.ok()) return column_data_error(name, texts.take_error());
  CodedColumn out;
  out.is_text = true;
  const int64_t n = texts->length();
  out.codes.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    out.codes[static_cast<size_t>(i)] = texts->is_valid(i) ? out.labels.intern(texts->value(i)) : kNoCategory;
  }
  return out;
}

Error unsupported(const std::string& name, const arrow::DataType& type) {
  return Error{"Column '" + name + "' has unsupported type " + type.debug_name() + ", expected integer or float"};
}

void append_utf8_escaped(std::string& out, uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
  out += buf;
}

bool printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return false;
  if (cp == 0xad) return false;                      // soft hyphen
  if (cp >= 0x200b && cp <= 0x200f) return false;    // zero-width and direction marks
  if (cp >= 0x2028 && cp <= 0x202e) return false;    // separators and embeddings
  if (cp >= 0x2060 && cp <= 0x206f) return false;    // invisible operators
  if (cp == 0xfeff) return false;                    // byte order mark
  if (cp >= 0xfff9 && cp <= 0xfffb) return false;    // interlinear annotations
  if ((cp & 0xfffe) == 0xfffe) return false;         // noncharacters
  if (cp >= 0xfdd0 && cp <= 0xfdef) return false;
  if (cp >= 0xe000 && cp <= 0xf8ff) return false;    // private use
  if (cp >= 0xf0000) return false;                   // supplementary private use
  if (cp >= 0xe0000 && cp <= 0xe007f) return false;  // tags
  return true;
}

}  // namespace

Result<CodedColumn> code_column(const arrow::RecordBatch& batch, const std::string& name) {
  const int64_t index = batch.schema->find(name);
  if (index < 0) return Error{"Column '" + name + "' not found in Arrow data"};
  const arrow::ArrayPtr& column = batch.columns[static_cast<size_t>(index)];
  const arrow::DataType& type = *batch.schema->fields[static_cast<size_t>(index)]->type;

  if (type.id == Type::Dictionary) {
    if (!is_text_or_text_dictionary(type, 0)) return unsupported(name, type);
    return code_dictionary(column, name);
  }
  if (arrow::is_text(type)) return code_text(column, name);

  CodedColumn out;
  out.codes.resize(static_cast<size_t>(column->length));
  switch (type.id) {
    case Type::Int8: widen<int8_t>(*column, out.codes); break;
    case Type::Int16: widen<int16_t>(*column, out.codes); break;
    case Type::Int32: widen<int32_t>(*column, out.codes); break;
    case Type::Int64: widen<int64_t>(*column, out.codes); break;
    case Type::UInt8: widen<uint8_t>(*column, out.codes); break;
    case Type::UInt16: widen<uint16_t>(*column, out.codes); break;
    case Type::UInt32: widen<uint32_t>(*column, out.codes); break;
    case Type::Float64: widen<double>(*column, out.codes); break;
    default: return unsupported(name, type);
  }
  return out;
}

Result<RowMask> valid_row_mask(const arrow::RecordBatch& batch, const std::vector<std::string>& names) {
  RowMask mask(static_cast<size_t>(batch.num_rows), 1);
  for (const std::string& name : names) {
    const int64_t index = batch.schema->find(name);
    if (index < 0) return Error{"Column '" + name + "' not found"};
    const arrow::Validity validity = arrow::validity_of(*batch.columns[static_cast<size_t>(index)]);
    if (validity.all_valid()) continue;
    for (int64_t i = 0; i < batch.num_rows; ++i) {
      if (!validity.is_valid(i)) mask[static_cast<size_t>(i)] = 0;
    }
  }
  return mask;
}

std::string quote_key(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    // Decode one UTF-8 sequence (texts come from Python str, so they are well formed;
    // a stray byte is shown as its own escape).
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xf0 && i + 3 < text.size()) {
      cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(text[i + 1]) & 0x3fu) << 12) |
           ((static_cast<unsigned char>(text[i + 2]) & 0x3fu) << 6) | (static_cast<unsigned char>(text[i + 3]) & 0x3fu);
      len = 4;
    } else if (c >= 0xe0 && i + 2 < text.size()) {
      cp = ((c & 0x0fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3fu) << 6) |
           (static_cast<unsigned char>(text[i + 2]) & 0x3fu);
      len = 3;
    } else if (c >= 0xc0 && i + 1 < text.size()) {
      cp = ((c & 0x1fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3fu);
      len = 2;
    } else if (c >= 0x80) {
      append_utf8_escaped(out, c);
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(cp)) {
          out.append(text.substr(i, len));
        } else {
          append_utf8_escaped(out, cp);
        }
    }
    i += len;
  }
  out += "\"";
  return out;
}

std::string display_key(const TargetKey& key) {
  return key.is_int() ? std::to_string(key.as_int()) : quote_key(key.as_text());
}

Result<engine::MatchedTargets> match_targets(const TargetSet& targets, const ColumnLabels& labels) {
  engine::MatchedTargets out;
  out.reserve(targets.entries().size());
  for (const auto& [column, spec] : targets.entries()) {
    auto found = labels.find(column);
    const Labels* text_labels = found == labels.end() ? nullptr : found->second;
    std::unordered_map<int64_t, double> codes;
    codes.reserve(spec.size());
    for (const auto& [key, share] : spec) {
      int64_t code = 0;
      if (text_labels != nullptr) {
        if (key.is_int()) {
          return Error{"Target key " + display_key(key) + " for column '" + column +
                       "' is numeric, but that column holds text category codes"};
        }
        code = text_labels->find(key.as_text());
        if (code < 0) {
          return Error{"Target key " + display_key(key) + " for column '" + column + "' is not a category in the data"};
        }
      } else {
        if (!key.is_int()) {
          return Error{"Target key " + display_key(key) + " for column '" + column +
                       "' is text, but that column holds numeric category codes"};
        }
        code = key.as_int();
      }
      codes[code] = share;
    }
    out.emplace_back(column, std::move(codes));
  }
  return out;
}

}  // namespace quelm::adapter
