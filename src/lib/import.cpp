// Reading the caller's table: __arrow_c_stream__(None), take the stream over from the
// capsule, read the schema and every batch, release the stream exactly once, and make
// one record batch of it.
#include <cstring>

#include "lib/module.hpp"

namespace quelm::lib {

namespace {

// Owns a taken-over stream and releases it exactly once.
class OwnedStream {
 public:
  explicit OwnedStream(const ArrowArrayStream& s) : s_(s) {}
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;
  ~OwnedStream() { close(); }
  ArrowArrayStream* get() { return &s_; }
  bool released() const { return s_.release == nullptr; }
  void close() {
    if (s_.release != nullptr) {
      auto release = s_.release;
      release(&s_);
      s_.release = nullptr;
    }
  }

 private:
  ArrowArrayStream s_;
};

// Releases a schema that a stream handed out, once.
struct SchemaGuard {
  ArrowSchema schema{};
  ~SchemaGuard() {
    if (schema.release != nullptr) schema.release(&schema);
  }
};

// Releases an array that a stream handed out, unless it was taken over.
struct ArrayGuard {
  ArrowArray array{};
  ~ArrayGuard() {
    if (array.release != nullptr) array.release(&array);
  }
};

// Text of a C string from a producer, invalid UTF-8 replaced.
std::string producer_text(const char* text) {
  Ref s = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!s) {
    PyErr_Clear();
    return text;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return text;
  }
  return std::string(utf8, static_cast<size_t>(size));
}

py::Error stream_error(const std::string& detail) { return py::value_error("Arrow stream error: " + detail); }
py::Error batch_error(const std::string& detail) { return py::value_error("Arrow batch error: " + detail); }

}  // namespace

Result<arrow::RecordBatch> import_record_batch(PyObject* data) {
  static const char* const kName = "arrow_array_stream";
  Ref method = Ref::steal(PyUnicode_InternFromString("__arrow_c_stream__"));
  if (!method) return py::Error::current();
  PyObject* call_args[] = {data, Py_None};
  Ref capsule = Ref::steal(
      PyObject_VectorcallMethod(method.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!capsule) return py::Error::current();
  if (!PyCapsule_CheckExact(capsule.get())) return py::cast_error(capsule.get(), "PyCapsule");
  auto* source = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), kName));
  if (source == nullptr) {
    py::SavedException saved;
    capsule = Ref();
    return py::Error::current();
  }

  // Take the stream over: the capsule's destructor then leaves it alone.
  OwnedStream stream(*source);
  source->release = nullptr;
  capsule = Ref();

  if (stream.released()) return stream_error("C Data interface error: input stream is already released");
  ArrowArrayStream* s = stream.get();
  if (s->get_schema == nullptr) return stream_error("C Data interface error: the stream has no get_schema callback");

  arrow::SchemaPtr schema;
  {
    SchemaGuard guard;
    const int code = s->get_schema(s, &guard.schema);
    if (code != 0) {
      return stream_error("C Data interface error: Cannot get schema from input stream. Error code: " +
                          std::to_string(code));
    }
    if (guard.schema.release == nullptr) {
      return stream_error("C Data interface error: get_schema returned a released schema");
    }
    auto imported = arrow::import_schema(guard.schema);
    if (!imported.ok()) return stream_error(imported.error().message);
    schema = std::move(imported).value();
  }

  if (s->get_next == nullptr) return batch_error("C Data interface error: the stream has no get_next callback");
  std::vector<arrow::RecordBatch> batches;
  for (;;) {
    ArrayGuard next;
    const int code = s->get_next(s, &next.array);
    if (code != 0) {
      const char* text = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
      if (text == nullptr) {
        return batch_error("C Data interface error: get_next failed with error code " + std::to_string(code) +
                           " and no error message");
      }
      return batch_error("C Data interface error: " + producer_text(text));
    }
    if (next.array.release == nullptr) break;
    auto batch = arrow::import_batch(&next.array, schema);
    if (!batch.ok()) return batch_error(batch.error().message);
    batches.push_back(std::move(batch).value());
  }
  stream.close();

  if (batches.size() == 1) return std::move(batches.front());
  if (batches.empty()) return arrow::empty_batch(schema);
  auto joined = arrow::concat_batches(batches, schema);
  batches.clear();
  if (!joined.ok()) return py::value_error("Arrow concat error: " + joined.error().message);
  return std::move(joined).value();
}

}  // namespace quelm::lib
