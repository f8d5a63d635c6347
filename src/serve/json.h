// The one JSON reader of the service: a body is checked whole against the
// grammar of RFC 8259, with the three bare tokens Python's json module
// writes for what JSON has no number for (NaN, Infinity, -Infinity), and
// within a fixed depth; then simdjson's On-Demand reader walks it. Nothing
// here recurses deeper than that depth or allocates more than the body.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace karva {

namespace od = simdjson::ondemand;

// Levels of arrays and objects a request may nest: a V2 body needs 5, a
// dataframe_split body 4.
inline constexpr int MOST_JSON_DEPTH = 32;

// Bytes simdjson may read past a body's end: a body read with this much
// room after it is read in place.
inline constexpr std::size_t JSON_PADDING = simdjson::SIMDJSON_PADDING;

// What is wrong with a body as JSON.
enum class JsonFault { NONE, SYNTAX, TOO_DEEP };

// `body` checked as one JSON value with nothing but white space after it,
// nested at most `most_depth` levels; a leading UTF-8 byte-order mark is
// skipped (`*start` gives where the value begins).
JsonFault check_json(std::string_view body, int most_depth, std::size_t* start);

// A scalar's text as the body holds it, without the white space after it.
std::string_view token_text(od::value value);

// A value of a body check_json passed, read as a double: a number as
// strtod reads its text (so that huge
// integers and numbers past the double range read as the command reads
// them), null, NaN or the string "NaN" as missing (NaN), Infinity and
// -Infinity bare or as strings. False for anything else.
bool read_number(od::value value, double& out);

// The first `size` bytes of `body` as simdjson may read them in place: the
// string's own bytes when it holds room for simdjson's padding after them
// (what follows them may be anything), else a padded copy kept in `copy`.
simdjson::padded_string_view padded(const std::string& body, std::size_t size, simdjson::padded_string& copy);

}  // namespace karva
