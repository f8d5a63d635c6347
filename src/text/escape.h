// Names and paths from the input, made inert for where they are written:
// one function for each kind of text karva writes, so that no name can end
// a comment, a string, an identifier, an element or a message line.
#pragma once

#include <string>
#include <string_view>

namespace karva {

// For a comment of generated C, Python or SQL: printable ASCII stays; every
// other byte (line ends, control bytes, the bytes of U+2028 and U+2029 and of
// every other non-ASCII character) and the backslash become \xNN, and so
// does the second byte of "*/" and "/*".
std::string comment_text(std::string_view text);

// For the text or an attribute of an XML element: & < > " ' as entities,
// control bytes and malformed UTF-8 as U+FFFD.
std::string xml_text(std::string_view text);

// An SQL identifier in double quotes, a quote inside written twice: every
// other byte, a line end too, is the name's own and cannot end it.
std::string sql_identifier(std::string_view name);

// A JSON string, quoted: the quote, the backslash and control bytes escaped,
// malformed UTF-8 as U+FFFD, so that the text is always valid JSON.
std::string json_string(std::string_view text);

// A Python string literal, in double quotes: printable ASCII stays but the
// quote and the backslash; every other character (UTF-8 decoded, a
// malformed byte as U+FFFD) is written \uXXXX or \UXXXXXXXX.
std::string python_string(std::string_view text);

// For LaTeX's text mode (\text{...}, \texttt{...}): its special characters
// escaped; every character but printable ASCII (pdflatex's fonts lack
// most, and control bytes would end a line) written as [U+XXXX].
std::string latex_text(std::string_view text);

// A Prometheus label value, quoted: backslash, quote and line feed escaped,
// malformed UTF-8 as U+FFFD.
std::string prometheus_label(std::string_view text);

// For a message on a terminal: control bytes become \xNN, so that a name
// cannot move the cursor or start a line of its own.
std::string shown(std::string_view name);

// One field of a line of a log: printable ASCII but the space, the quote
// and the backslash stays; every other byte becomes \xNN, so that no byte a
// client sent is written raw and a field never splits; "-" for nothing.
std::string log_field(std::string_view text);

}  // namespace karva
