// What every reader of a request's rows shares, whatever its wire: the
// matrix the rows are read straight into, where each tensor's values go in
// it, and the Open Inference Protocol's tensors (their heads, how they
// place, their raw little-endian data), read alike from JSON and from gRPC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serve/datatypes.h"
#include "serve/request.h"

namespace karva {

inline Unexpected<RequestFault> fault(RequestFault::Kind kind, std::string name = "", std::string other = "",
                                      std::uint64_t wanted = 0) {
  return Unexpected(RequestFault{kind, std::move(name), std::move(other), wanted});
}

// Where a tensor's or a column's values go in the matrix: the first at
// `offset`, each next `stride` further; `count` of them.
struct Placement {
  std::size_t offset = 0;
  std::size_t stride = 1;
  std::size_t count = 0;
};

// A matrix of `rows` rows, every value missing until read; the fault when
// the limits do not allow them.
Expected<Matrix, RequestFault> make_matrix(std::size_t rows, std::size_t columns, const ReadLimits& limits);

// A V2 input tensor's head: what it is called, its type and shape.
struct TensorHead {
  std::string name;
  std::string datatype;
  DatatypeInfo type;
  std::vector<std::uint64_t> shape;
  std::uint64_t count = 1;                   // the values its shape holds, at most `most` + 1
  std::optional<std::uint64_t> binary_size;  // the bytes of its raw data, when it has some
};

// The shape as the protocol writes it: [2, 3].
std::string shape_text(const TensorHead& t);

// Adds a dimension of `d` to the tensor's shape. Its count stops past
// `most` (the bytes of the message it came in: each value takes at least
// one), so that no shape makes a matrix larger than its message.
void add_dimension(TensorHead& t, std::uint64_t d, std::size_t most);

// The fault of a head whose datatype karva does not take or whose shape a
// message of `most` bytes cannot fill.
std::optional<RequestFault> check_head(const TensorHead& t, std::size_t most);

// Where each tensor's values go: one tensor of [rows, n], or one per input
// by name of [rows] or [rows, 1]; `rows`, or why they do not fit `names`.
Expected<std::vector<Placement>, RequestFault> place(const std::vector<TensorHead>& heads,
                                                     const std::vector<std::string>& names, std::size_t& rows);

// A tensor's raw data, `bytes` (its shape's, little-endian: the caller
// holds it to its size), into its place.
std::optional<RequestFault> fill_raw(std::string_view bytes, const TensorHead& head, const Placement& at, Matrix& m);

}  // namespace karva
