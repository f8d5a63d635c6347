#include "serve/tensors.h"

#include <algorithm>
#include <limits>

namespace karva {

using Kind = RequestFault::Kind;

Expected<Matrix, RequestFault> make_matrix(std::size_t rows, std::size_t columns, const ReadLimits& limits) {
  if (rows > limits.most_rows) return fault(Kind::TOO_MANY_ROWS, "", "", limits.most_rows);
  if (limits.room_for && !limits.room_for(rows)) return fault(Kind::NO_MEMORY);
  Matrix m;
  m.rows = rows;
  m.columns = columns;
  m.values.assign(rows * columns, std::numeric_limits<double>::quiet_NaN());
  return m;
}

std::string shape_text(const TensorHead& t) {
  std::string text;
  for (const std::uint64_t d : t.shape) text += (text.empty() ? "" : ", ") + std::to_string(d);
  return "[" + text + "]";
}

void add_dimension(TensorHead& t, std::uint64_t d, std::size_t most) {
  t.shape.push_back(d);
  if (d > most || (d > 0 && t.count > most / d)) t.count = std::uint64_t{most} + 1;  // cannot be filled
  else t.count *= d;
}

std::optional<RequestFault> check_head(const TensorHead& t, std::size_t most) {
  if (t.type.kind == Datatype::NONE) return RequestFault{Kind::BAD_DATATYPE, t.name, t.datatype};
  if (t.count > most) return RequestFault{Kind::SHAPE_UNFILLED, t.name, shape_text(t)};
  return std::nullopt;
}

Expected<std::vector<Placement>, RequestFault> place(const std::vector<TensorHead>& heads,
                                                     const std::vector<std::string>& names, std::size_t& rows) {
  const std::size_t n = names.size();
  if (heads.size() == 1 && heads[0].shape.size() == 2 && heads[0].shape[1] == n) {
    rows = static_cast<std::size_t>(heads[0].shape[0]);
    return std::vector<Placement>{{0, 1, static_cast<std::size_t>(heads[0].count)}};
  }
  if (heads.size() != n) return fault(Kind::WRONG_INPUTS, "", "", n);
  std::vector<Placement> at;
  rows = heads.empty() ? 0 : static_cast<std::size_t>(heads[0].count);
  for (const std::string& name : names)
    if (std::none_of(heads.begin(), heads.end(), [&](const TensorHead& t) { return t.name == name; }))
      return fault(Kind::NO_SUCH_INPUT, name, "", n);
  for (const TensorHead& t : heads) {
    const bool column = t.shape.size() == 1 || (t.shape.size() == 2 && t.shape[1] == 1);
    if (!column) return fault(Kind::SHAPE_UNFILLED, t.name, shape_text(t));
    if (t.count != rows) return fault(Kind::ROWS_DIFFER);
    const auto col = static_cast<std::size_t>(std::find(names.begin(), names.end(), t.name) - names.begin());
    at.push_back({col, n, rows});
  }
  return at;
}

std::optional<RequestFault> fill_raw(std::string_view bytes, const TensorHead& head, const Placement& at, Matrix& m) {
  const std::size_t size = value_bytes(head.type);
  if (bytes.size() / size < at.count) return RequestFault{Kind::BINARY_SHORT, head.name};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < at.count; ++i, p += size)
    if (!binary_value(p, head.type, m.values[at.offset + i * at.stride]))
      return RequestFault{Kind::BAD_INTEGER, head.name, head.datatype};
  return std::nullopt;
}

}  // namespace karva
