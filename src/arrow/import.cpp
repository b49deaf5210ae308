// Import of C Data Interface arrays as record batches, empty batches and the Float64
// array over an owned vector.
//
// Import takes the base ArrowArray over into a reference-counted holder first, so that
// every path (success or failure) releases it exactly once: when the last ArrayData node
// that references the holder is dropped. Every node's structure is then checked against
// its type (buffer and child counts, the pointers its length needs, child lengths of the
// fixed layouts) with overflow-checked arithmetic; no buffer content is read here except
// the validity bits of the top-level struct when its null count is unknown.
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrow/arrow.hpp"
#include "arrow/internal.hpp"

namespace quelm::arrow {

using namespace internal;

namespace {

// Owns a taken-over base ArrowArray; calls the producer's release once, on destruction.
struct ImportedArray {
  ArrowArray base{};
  ImportedArray() = default;
  ImportedArray(const ImportedArray&) = delete;
  ImportedArray& operator=(const ImportedArray&) = delete;
  ~ImportedArray() {
    if (base.release != nullptr) base.release(&base);
  }
};

std::string str(int64_t v) { return std::to_string(v); }

struct Expect {
  int64_t buffers = 0;  // exact count, or the minimum for views
  bool at_least = false;
  int64_t children = 0;
};

Expect expected_shape(const DataType& t) {
  switch (layout_of(t)) {
    case Layout::Null: return {0, false, 0};
    case Layout::Boolean:
    case Layout::FixedWidth: return {2, false, 0};
    case Layout::Binary:
    case Layout::LargeBinary: return {3, false, 0};
    case Layout::View: return {3, true, 0};
    case Layout::List:
    case Layout::LargeList: return {2, false, 1};
    case Layout::ListView:
    case Layout::LargeListView: return {3, false, 1};
    case Layout::FixedSizeList: return {1, false, 1};
    case Layout::Struct: return {1, false, static_cast<int64_t>(t.children.size())};
    case Layout::SparseUnion: return {1, false, static_cast<int64_t>(t.children.size())};
    case Layout::DenseUnion: return {2, false, static_cast<int64_t>(t.children.size())};
    case Layout::RunEndEncoded: return {0, false, 2};
    case Layout::Dictionary: return {2, false, 0};
  }
  return {};
}

class Importer {
 public:
  explicit Importer(std::shared_ptr<const void> owner) : owner_(std::move(owner)) {}

  // Checks the fields of one node that do not depend on its layout.
  static Status check_header(const ArrowArray& a, const std::string& where) {
    if (a.release == nullptr) return invalid(where + " has been released");
    if (a.length < 0) return invalid(where + " has a negative length " + str(a.length));
    if (a.offset < 0) return invalid(where + " has a negative offset " + str(a.offset));
    if (a.null_count < -1) return invalid(where + " has an invalid null count " + str(a.null_count));
    if (a.null_count > a.length) {
      return invalid(where + " has a null count " + str(a.null_count) + " greater than its length " + str(a.length));
    }
    int64_t end = 0;
    if (!checked_add(a.offset, a.length, &end)) {
      return invalid(where + " has an offset " + str(a.offset) + " and length " + str(a.length) + " that overflow");
    }
    if (a.n_buffers < 0) return invalid(where + " has a negative buffer count " + str(a.n_buffers));
    if (a.n_buffers > 0 && a.buffers == nullptr) {
      return invalid(where + " has " + str(a.n_buffers) + " buffers but a null buffer array");
    }
    if (a.n_children < 0) return invalid(where + " has a negative child count " + str(a.n_children));
    if (a.n_children > 0 && a.children == nullptr) {
      return invalid(where + " has " + str(a.n_children) + " children but a null child array");
    }
    for (int64_t i = 0; i < a.n_children; ++i) {
      if (a.children[i] == nullptr) return invalid("child " + str(i) + " of " + where + " is null");
    }
    return ok_status();
  }

  Result<std::shared_ptr<ArrayData>> node(const ArrowArray& a, const TypePtr& type, const std::string& where) {
    const DataType& t = *type;
    if (Status s = check_header(a, where); !s) return s.take_error();
    const Layout layout = layout_of(t);
    const Expect shape = expected_shape(t);
    // Built only when an error is reported.
    auto kind = [&] { return where + " of type " + t.debug_name(); };
    if (shape.at_least ? a.n_buffers < shape.buffers : a.n_buffers != shape.buffers) {
      return invalid(kind() + " has " + str(a.n_buffers) + " buffers, expected " + (shape.at_least ? "at least " : "") +
                     str(shape.buffers));
    }
    if (a.n_children != shape.children) {
      return invalid(kind() + " has " + str(a.n_children) + " children, expected " + str(shape.children));
    }
    if (layout == Layout::Dictionary) {
      if (a.dictionary == nullptr) return invalid(kind() + " has no dictionary");
    } else if (a.dictionary != nullptr) {
      return invalid(kind() + " has a dictionary although its type is not dictionary-encoded");
    }
    auto buffer = [&](int64_t i) { return a.buffers[i]; };
    if (has_validity_buffer(t) && a.null_count > 0 && buffer(0) == nullptr) {
      return invalid(kind() + " has " + str(a.null_count) + " nulls but no validity bitmap");
    }
    // Buffers whose size is non-zero as soon as the array has a row.
    if (a.length > 0) {
      auto need = [&](int64_t i, const char* what) -> Status {
        if (buffer(i) == nullptr) return invalid(kind() + " of length " + str(a.length) + " has a null " + what + " buffer");
        return ok_status();
      };
      Status s = ok_status();
      switch (layout) {
        case Layout::Boolean: s = need(1, "values"); break;
        case Layout::FixedWidth:
          if (fixed_width_bytes(t) > 0) s = need(1, "values");
          break;
        case Layout::Binary:
        case Layout::LargeBinary:
        case Layout::List:
        case Layout::LargeList: s = need(1, "offsets"); break;
        case Layout::View: s = need(1, "views"); break;
        case Layout::ListView:
        case Layout::LargeListView:
          s = need(1, "offsets");
          if (s) s = need(2, "sizes");
          break;
        case Layout::SparseUnion: s = need(0, "type ids"); break;
        case Layout::DenseUnion:
          s = need(0, "type ids");
          if (s) s = need(1, "offsets");
          break;
        case Layout::Dictionary: s = need(1, "keys"); break;
        default: break;
      }
      if (!s) return s.take_error();
    }
    if (layout == Layout::View && a.n_buffers - 3 > std::numeric_limits<int32_t>::max()) {
      return invalid(kind() + " has " + str(a.n_buffers - 3) + " data buffers, more than a view can address");
    }
    if (layout == Layout::View && a.n_buffers > 3 && buffer(a.n_buffers - 1) == nullptr) {
      return invalid(kind() + " has " + str(a.n_buffers - 3) + " data buffers but a null buffer of their sizes");
    }

    auto out = std::make_shared<ArrayData>();
    out->type = type;
    out->length = a.length;
    out->offset = a.offset;
    out->null_count = a.null_count;
    out->owner = owner_;
    out->buffers.assign(a.buffers, a.buffers + a.n_buffers);

    // Children.
    out->children.reserve(static_cast<size_t>(a.n_children));
    for (int64_t i = 0; i < a.n_children; ++i) {
      const size_t k = layout == Layout::Struct || layout == Layout::SparseUnion || layout == Layout::DenseUnion ||
                               layout == Layout::RunEndEncoded
                           ? static_cast<size_t>(i)
                           : 0;
      if (k >= t.children.size() || t.children[k] == nullptr || t.children[k]->type == nullptr) {
        return invalid(kind() + " lacks the type of child " + str(i));
      }
      const Field& f = *t.children[k];
      auto child = node(*a.children[i], f.type, "child " + str(i) + " '" + f.name + "' of " + where);
      if (!child) return child.take_error();
      out->children.push_back(std::move(child).value());
    }
    if (layout == Layout::Dictionary) {
      if (t.dictionary == nullptr || t.dictionary->type == nullptr) return invalid(kind() + " lacks its value type");
      auto dict = node(*a.dictionary, t.dictionary->type, "the dictionary of " + where);
      if (!dict) return dict.take_error();
      out->dictionary = std::move(dict).value();
    }

    // Child lengths that the fixed layouts imply.
    const int64_t end = a.offset + a.length;
    switch (layout) {
      case Layout::Struct:
      case Layout::SparseUnion:
        for (int64_t i = 0; i < a.n_children; ++i) {
          if (a.children[i]->length < end) {
            return invalid("child " + str(i) + " of " + kind() + " has length " + str(a.children[i]->length) +
                           ", but the parent's offset and length need " + str(end));
          }
        }
        break;
      case Layout::FixedSizeList: {
        int64_t need = 0;
        if (!checked_mul(end, t.list_size, &need)) {
          return invalid(kind() + ": offset + length times the list size overflows");
        }
        if (a.children[0]->length < need) {
          return invalid("the child of " + kind() + " has length " + str(a.children[0]->length) + ", but " + str(need) +
                         " values are needed");
        }
        break;
      }
      case Layout::RunEndEncoded:
        if (a.children[1]->length < a.children[0]->length) {
          return invalid(kind() + " has " + str(a.children[0]->length) + " run ends but only " +
                         str(a.children[1]->length) + " values");
        }
        break;
      default:
        break;
    }
    return out;
  }

 private:
  std::shared_ptr<const void> owner_;
};

// Whether any bit in [begin, end) of the bitmap is zero.
bool any_zero_bit(const uint8_t* bits, int64_t begin, int64_t end) {
  for (int64_t b = begin; b < end;) {
    if ((b & 7) == 0 && end - b >= 8) {
      if (bits[b >> 3] != 0xFF) return true;
      b += 8;
      continue;
    }
    if (((bits[b >> 3] >> (b & 7)) & 1) == 0) return true;
    ++b;
  }
  return false;
}

Result<RecordBatch> import_owned(const std::shared_ptr<ImportedArray>& holder, const SchemaPtr& schema) {
  const ArrowArray& a = holder->base;
  if (schema == nullptr) return invalid("no schema given for the record batch");

  const std::string where = "the record batch's struct array";
  if (Status s = Importer::check_header(a, where); !s) return s.take_error();
  if (a.n_buffers != 1) return invalid(where + " has " + str(a.n_buffers) + " buffers, expected 1");
  if (a.dictionary != nullptr) return invalid(where + " has a dictionary, but a record batch is a struct array");
  const int64_t n_fields = static_cast<int64_t>(schema->fields.size());
  if (a.n_children != n_fields) {
    return invalid(where + " has " + str(a.n_children) + " children, but the schema has " + str(n_fields) + " fields");
  }
  const auto* bits = static_cast<const uint8_t*>(a.buffers[0]);
  if (a.null_count > 0 ||
      (a.null_count == -1 && bits != nullptr && any_zero_bit(bits, a.offset, a.offset + a.length))) {
    return invalid("a record batch's struct array cannot have null rows");
  }

  const int64_t end = a.offset + a.length;  // checked by check_header
  Importer importer(holder);
  RecordBatch batch;
  batch.schema = schema;
  batch.num_rows = a.length;
  batch.columns.reserve(static_cast<size_t>(n_fields));
  for (int64_t i = 0; i < n_fields; ++i) {
    const FieldPtr& field = schema->fields[static_cast<size_t>(i)];
    if (field == nullptr || field->type == nullptr) return invalid("field " + str(i) + " of the schema has no type");
    const std::string col = "column " + str(i) + " '" + field->name + "'";
    auto column = importer.node(*a.children[i], field->type, col);
    if (!column) return column.take_error();
    ArrayData& c = *column.value();
    if (c.length < end) {
      return invalid(col + " has length " + str(c.length) + ", but the record batch's offset and length need " +
                     str(end));
    }
    // Fold the struct's offset into the column. The null count of a sub-range is unknown
    // unless the whole column had none.
    int64_t offset = 0;
    if (!checked_add(c.offset, a.offset, &offset)) return invalid(col + ": offset overflows");
    if ((a.offset != 0 || c.length != a.length) && c.null_count != 0) c.null_count = -1;
    if (c.type->id == Type::Null) c.null_count = a.length;
    c.offset = offset;
    c.length = a.length;
    batch.columns.push_back(std::move(column).value());
  }
  return batch;
}

}  // namespace

Result<RecordBatch> import_batch(ArrowArray* array, const SchemaPtr& schema) {
  if (array == nullptr) return invalid("the record batch array is null");
  if (array->release == nullptr) return invalid("the record batch array has been released");
  std::shared_ptr<ImportedArray> holder;
  try {
    holder = std::make_shared<ImportedArray>();
  } catch (const std::bad_alloc&) {
    array->release(array);
    return invalid("out of memory while importing a record batch");
  }
  holder->base = *array;
  array->release = nullptr;
  try {
    return import_owned(holder, schema);
  } catch (const std::bad_alloc&) {
    return invalid("out of memory while importing a record batch");
  }
}

// ---------------------------------------------------------------------------------------
// Empty arrays

namespace {

ArrayPtr empty_array(const TypePtr& type) {
  auto out = std::make_shared<ArrayData>();
  out->type = type;
  const DataType& t = *type;
  const Layout layout = layout_of(t);
  const Expect shape = expected_shape(t);
  out->buffers.assign(static_cast<size_t>(shape.buffers), nullptr);
  switch (layout) {
    case Layout::Binary:
    case Layout::LargeBinary:
    case Layout::List:
    case Layout::LargeList:
      out->buffers[1] = kZeroOffsets;
      break;
    default:
      break;
  }
  for (int64_t i = 0; i < shape.children; ++i) {
    const size_t k = layout == Layout::Struct || layout == Layout::SparseUnion || layout == Layout::DenseUnion ||
                             layout == Layout::RunEndEncoded
                         ? static_cast<size_t>(i)
                         : 0;
    const TypePtr child_type = k < t.children.size() && t.children[k] != nullptr && t.children[k]->type != nullptr
                                   ? t.children[k]->type
                                   : primitive_type(Type::Null);
    out->children.push_back(empty_array(child_type));
  }
  if (layout == Layout::Dictionary) {
    out->dictionary = empty_array(t.dictionary != nullptr && t.dictionary->type != nullptr ? t.dictionary->type
                                                                                          : primitive_type(Type::Null));
  }
  return out;
}

}  // namespace

RecordBatch empty_batch(const SchemaPtr& schema) {
  RecordBatch batch;
  batch.schema = schema;
  batch.num_rows = 0;
  if (schema == nullptr) return batch;
  batch.columns.reserve(schema->fields.size());
  for (const FieldPtr& f : schema->fields) {
    batch.columns.push_back(empty_array(f != nullptr && f->type != nullptr ? f->type : primitive_type(Type::Null)));
  }
  return batch;
}

ArrayPtr make_float64_array(const double* values, int64_t length, std::shared_ptr<const void> owner) {
  static const TypePtr float64 = primitive_type(Type::Float64);
  auto out = std::make_shared<ArrayData>();
  out->type = float64;
  out->length = length;
  out->offset = 0;
  out->null_count = 0;
  out->buffers = {nullptr, length == 0 ? nullptr : values};
  out->owner = std::move(owner);
  return out;
}

}  // namespace quelm::arrow
