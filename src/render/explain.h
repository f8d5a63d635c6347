// The key written out as formulas a person can read.
#pragma once

#include <string>
#include <vector>

#include "model/etree.h"
#include "model/key.h"
#include "model/ops.h"

namespace karva {

// How column letter `letter` is shown: itself when printable, else "#byte".
std::string letter_name(unsigned char letter);

// Whether an operand that binds as `operand` is bracketed on the `right`
// side (or the left) of an operator that binds as `level`.
bool bracketed_operand(Binding level, Binding operand, bool right);

// The inputs' names: `names` when there are any, else the key's letters
// (a, b, ...) as the formulas show them.
std::vector<std::string> input_names_or_letters(const std::vector<std::string>& names, int count);

// The tree in infix notation with the fewest parentheses that keep it the
// same tree; functions by name, a symbol with no operation as 0.
std::string infix(const etnode& node);

// The right-hand side of a gene's formula: intercept + slope * (expression),
// the inputs by `names` when there are names.
std::string gene_formula(double intercept, double slope, const etnode& tree,
                         const std::vector<std::string>& names = {});

// The shortest text that reads back as the same double.
std::string number_text(double value);

// The formulas of --explain, from the "Inputs:" line to the legend; `names`
// are the inputs' names, or empty. `*all_built` tells whether every gene
// gave a tree.
std::string explain_formulas(const Key& key, const std::vector<std::string>& names, bool* all_built);

}  // namespace karva
