// The key written out as formulas a person can read.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "model/etree.h"
#include "model/key.h"
#include "tool/options.h"
#include "tool/plan.h"

namespace karva {

// How column letter `letter` is shown: itself when printable, else "#byte".
std::string letter_name(unsigned char letter);

// The tree in infix notation with the fewest parentheses that keep it the
// same tree; functions by name, a symbol with no operation as 0.
std::string infix(const etnode& node);

// The right-hand side of a gene's formula: intercept + slope * (expression).
std::string gene_formula(double intercept, double slope, const etnode& tree);

// The shortest text that reads back as the same double.
std::string number_text(double value);

// The request --explain and --emit make of the plan: the key, and the data
// or --inputs for the inputs' names, read as the run would read them.
PlanRequest formula_request(const Options& options);

// The inputs' names for formulas, as the plan gives them; a note on `msg`
// when the data has none that fit. Nothing, with the message on `msg` (or
// `err` for a usage error) and the exit status in `*status`, when the
// data cannot be read or a named column is not there.
std::optional<std::vector<std::string>> formula_names(const Options& options, int variable_count, std::FILE* in,
                                                      std::FILE* msg, std::FILE* err, int* status);

// The formulas of --explain, from the "Inputs:" line to the legend; `names`
// are the inputs' names, or empty. `*all_built` tells whether every gene
// gave a tree.
std::string explain_formulas(const Key& key, const std::vector<std::string>& names, bool* all_built);

// karva --explain keyfile [indata]; "-" as indata reads `in`; complaints
// about the command line go to `err`. Returns the exit status.
int explain(const Options& options, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace karva
