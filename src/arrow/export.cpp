// Export of a record batch as an ArrowArrayStream that yields it once.
//
// Nothing is copied: every exported ArrowArray mirrors one ArrayData node, points at the
// node's buffers and keeps the node alive through its private data. Each exported
// structure owns its children and dictionary; its release releases those that the
// consumer has not moved out (release still set) and then frees its own private data.
// The callbacks touch nothing but the stream's own state and the immutable batch, so
// independent streams over one batch can be read on different threads.
#include <cerrno>
#include <cstdint>
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

// ---------------------------------------------------------------------------------------
// Schemas

struct SchemaPrivate {
  std::string format;
  std::string name;
  std::string metadata;
  std::vector<ArrowSchema> children;  // sized once; child_ptrs point into it
  std::vector<ArrowSchema*> child_ptrs;
  std::unique_ptr<ArrowSchema> dictionary;

  SchemaPrivate() = default;
  SchemaPrivate(const SchemaPrivate&) = delete;
  SchemaPrivate& operator=(const SchemaPrivate&) = delete;
  ~SchemaPrivate() {
    for (ArrowSchema& c : children) {
      if (c.release != nullptr) c.release(&c);
    }
    if (dictionary != nullptr && dictionary->release != nullptr) dictionary->release(dictionary.get());
  }
};

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  delete static_cast<SchemaPrivate*>(schema->private_data);
  schema->private_data = nullptr;
  schema->release = nullptr;
}

void fill_field(ArrowSchema* out, const Field& field);

// Fills `out` with one schema node. `out` is only written once everything is built, so a
// failure (bad_alloc) leaves it untouched and frees whatever was built.
void fill_node(ArrowSchema* out, std::string format, const std::string& name, const std::string& metadata,
               int64_t flags, const std::vector<FieldPtr>& children, const Field* dictionary) {
  auto p = std::make_unique<SchemaPrivate>();
  p->format = std::move(format);
  p->name = name;
  p->metadata = metadata;
  p->children.resize(children.size(), ArrowSchema{});
  p->child_ptrs.resize(children.size(), nullptr);
  for (size_t i = 0; i < children.size(); ++i) {
    fill_field(&p->children[i], *children[i]);
    p->child_ptrs[i] = &p->children[i];
  }
  if (dictionary != nullptr) {
    p->dictionary = std::make_unique<ArrowSchema>();
    p->dictionary->release = nullptr;
    fill_field(p->dictionary.get(), *dictionary);
  }
  out->format = p->format.c_str();
  out->name = p->name.c_str();
  out->metadata = p->metadata.empty() ? nullptr : p->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(p->children.size());
  out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
  out->dictionary = p->dictionary.get();
  out->release = &release_schema;
  out->private_data = p.release();
}

void fill_field(ArrowSchema* out, const Field& field) {
  static const std::vector<FieldPtr> no_children;
  const DataType& t = *field.type;
  if (t.id == Type::Dictionary) {
    const int64_t flags = field.flags | (t.ordered ? ARROW_FLAG_DICTIONARY_ORDERED : 0);
    fill_node(out, format_of(t), field.name, field.metadata, flags, no_children, t.dictionary.get());
  } else {
    fill_node(out, format_of(t), field.name, field.metadata, field.flags, t.children, nullptr);
  }
}

// ---------------------------------------------------------------------------------------
// Arrays

struct ArrayPrivate {
  ArrayPtr data;   // keeps the node (and through it the buffers' memory) alive
  BatchPtr batch;  // the top-level struct: keeps the batch alive
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;  // sized once; child_ptrs point into it
  std::vector<ArrowArray*> child_ptrs;
  std::unique_ptr<ArrowArray> dictionary;

  ArrayPrivate() = default;
  ArrayPrivate(const ArrayPrivate&) = delete;
  ArrayPrivate& operator=(const ArrayPrivate&) = delete;
  ~ArrayPrivate() {
    for (ArrowArray& c : children) {
      if (c.release != nullptr) c.release(&c);
    }
    if (dictionary != nullptr && dictionary->release != nullptr) dictionary->release(dictionary.get());
  }
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  delete static_cast<ArrayPrivate*>(array->private_data);
  array->private_data = nullptr;
  array->release = nullptr;
}

void fill_children(ArrayPrivate& p, const std::vector<ArrayPtr>& children);

void publish(ArrowArray* out, std::unique_ptr<ArrayPrivate> p, int64_t length, int64_t offset, int64_t null_count,
             int64_t n_buffers) {
  out->length = length;
  out->null_count = null_count;
  out->offset = offset;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<int64_t>(p->children.size());
  out->buffers = p->buffers.data();
  out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
  out->dictionary = p->dictionary.get();
  out->release = &release_array;
  out->private_data = p.release();
}

void fill_array(ArrowArray* out, const ArrayPtr& data) {
  const ArrayData& a = *data;
  auto p = std::make_unique<ArrayPrivate>();
  p->data = data;
  p->buffers = a.buffers;
  const int64_t n_buffers = static_cast<int64_t>(p->buffers.size());
  if (p->buffers.empty()) p->buffers.push_back(nullptr);  // never hand out a null buffer array
  int64_t offset = a.offset;
  if (a.type != nullptr && a.length == 0 && n_buffers >= 2 && p->buffers[1] == nullptr) {
    switch (layout_of(*a.type)) {
      case Layout::Binary:
      case Layout::LargeBinary:
      case Layout::List:
      case Layout::LargeList:
        // One zero offset for consumers that refuse a null offsets buffer; the offset of
        // an empty array is irrelevant, so it is reset to stay within that one offset.
        p->buffers[1] = kZeroOffsets;
        offset = 0;
        break;
      default:
        break;
    }
  }
  fill_children(*p, a.children);
  if (a.dictionary != nullptr) {
    p->dictionary = std::make_unique<ArrowArray>();
    p->dictionary->release = nullptr;
    fill_array(p->dictionary.get(), a.dictionary);
  }
  publish(out, std::move(p), a.length, offset, a.null_count, n_buffers);
}

void fill_children(ArrayPrivate& p, const std::vector<ArrayPtr>& children) {
  p.children.resize(children.size(), ArrowArray{});
  p.child_ptrs.resize(children.size(), nullptr);
  for (size_t i = 0; i < children.size(); ++i) {
    fill_array(&p.children[i], children[i]);
    p.child_ptrs[i] = &p.children[i];
  }
}

void fill_batch(ArrowArray* out, const BatchPtr& batch) {
  auto p = std::make_unique<ArrayPrivate>();
  p->batch = batch;
  p->buffers.push_back(nullptr);
  fill_children(*p, batch->columns);
  publish(out, std::move(p), batch->num_rows, 0, 0, 1);
}

// ---------------------------------------------------------------------------------------
// The stream

struct StreamPrivate {
  BatchPtr batch;
  bool delivered = false;
  std::string last_error;
};

StreamPrivate* state(ArrowArrayStream* stream) {
  return stream != nullptr ? static_cast<StreamPrivate*>(stream->private_data) : nullptr;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamPrivate* s = state(stream);
  if (s == nullptr || out == nullptr) return EINVAL;
  s->last_error.clear();
  out->release = nullptr;
  if (s->batch == nullptr || s->batch->schema == nullptr) {
    s->last_error = "the exported stream has no schema";
    return EINVAL;
  }
  try {
    static const std::string empty;
    fill_node(out, "+s", empty, empty, 0, s->batch->schema->fields, nullptr);
  } catch (const std::bad_alloc&) {
    s->last_error = "out of memory while exporting the schema";
    return ENOMEM;
  }
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamPrivate* s = state(stream);
  if (s == nullptr || out == nullptr) return EINVAL;
  s->last_error.clear();
  *out = ArrowArray{};
  out->release = nullptr;
  if (s->delivered || s->batch == nullptr) return 0;
  try {
    fill_batch(out, s->batch);
  } catch (const std::bad_alloc&) {
    s->last_error = "out of memory while exporting the record batch";
    return ENOMEM;
  }
  s->delivered = true;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  StreamPrivate* s = state(stream);
  if (s == nullptr || s->last_error.empty()) return nullptr;
  return s->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete state(stream);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

void export_stream(BatchPtr batch, ArrowArrayStream* out) {
  out->release = nullptr;
  auto s = std::make_unique<StreamPrivate>();
  s->batch = std::move(batch);
  out->get_schema = &stream_get_schema;
  out->get_next = &stream_get_next;
  out->get_last_error = &stream_get_last_error;
  out->private_data = s.release();
  out->release = &stream_release;
}

}  // namespace quelm::arrow
