// The reference evaluation of an expression tree on one row of values.
#pragma once

#include <cstdio>
#include <string_view>

#include "model/etree.h"

namespace karva {

// The value of `node` on `row`, where the terminal at position k of
// `terminal_set` reads row[k]. A terminal missing from the set prints a line
// to `msg` and counts as 0.0. Both children are evaluated before the symbol
// picks the operation; a symbol with no operation gives 0.0.
double eval_etnode(const etnode* node, std::string_view terminal_set, const double* row, std::FILE* msg);

}  // namespace karva
