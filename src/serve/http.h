// The HTTP messages the service reads and writes (Boost.Beast).
#pragma once

#include <boost/beast/http.hpp>
#include <string_view>

namespace karva {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// Beast's view of a field or target, as the standard's.
inline std::string_view text_of(boost::beast::string_view s) { return {s.data(), s.size()}; }

}  // namespace karva
