#include <memory>

#include "arrow_adapter/flows.hpp"

namespace quelm::adapter {

Result<arrow::RecordBatch> append_weight_column(const arrow::RecordBatch& batch, engine::WeightVector&& weights,
                                                const std::string& name) {
  if (static_cast<int64_t>(weights.size()) != batch.num_rows) {
    return Error{"Failed to append weight column: Invalid argument error: the weight column has " +
                 std::to_string(weights.size()) + " values but the table has " + std::to_string(batch.num_rows) +
                 " rows"};
  }
  auto storage = std::make_shared<engine::WeightVector>(std::move(weights));
  arrow::ArrayPtr column =
      arrow::make_float64_array(storage->data(), static_cast<int64_t>(storage->size()), storage);
  auto field = std::make_shared<arrow::Field>();
  field->name = name;
  field->type = column->type;
  field->flags = 0;  // not nullable

  auto schema = std::make_shared<arrow::Schema>();
  schema->fields = batch.schema->fields;
  schema->fields.push_back(std::move(field));

  arrow::RecordBatch out;
  out.num_rows = batch.num_rows;
  out.columns = batch.columns;
  out.columns.push_back(std::move(column));
  out.schema = std::move(schema);
  return out;
}

}  // namespace quelm::adapter
