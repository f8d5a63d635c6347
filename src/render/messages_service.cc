// The service's words: its answers to requests it cannot score and the
// lines it writes of itself. Part of the one place that words messages.
#include <array>
#include <cstdio>

#include "render/messages.h"
#include "text/escape.h"

namespace karva {
namespace {

struct FaultRow {
  int status;
  const char* words;
};

constexpr std::array FAULTS = {
#define REQUEST_FAULT(kind, status, words) FaultRow{status, words},
#include "render/request_faults.def"
};

const FaultRow& row_of(RequestFault::Kind kind) { return FAULTS[static_cast<std::size_t>(kind)]; }

}  // namespace

int request_fault_status(RequestFault::Kind kind) { return row_of(kind).status; }

std::string request_fault_message(const RequestFault& fault) {
  const std::string words = row_of(fault.kind).words;
  const std::string name = fault.kind == RequestFault::Kind::CSV ? fault.name.substr(0, fault.name.find('\n'))
                                                                 : shown_field(fault.name);
  std::string out;
  for (std::size_t at = 0; at < words.size();) {
    const std::size_t open = words.find('{', at);
    out.append(words, at, open - at);
    if (open == std::string::npos) break;
    const std::size_t close = words.find('}', open);
    const std::string_view field(words.data() + open + 1, close - open - 1);
    out += field == "name" ? name : field == "other" ? shown_field(fault.other) : std::to_string(fault.wanted);
    at = close + 1;
  }
  return out;
}

std::string listening_message(const std::string& url) { return "Listening on " + url + "\n"; }
std::string listening_grpc_message(const std::string& address) { return "Listening for gRPC on " + address + "\n"; }
std::string serve_not_built_message() { return "This karva was built without the service (KARVA_SERVE=OFF): --serve is not available\n"; }
std::string grpc_not_built_message() { return "This karva was built without gRPC (KARVA_GRPC=OFF): --grpc-listen is not available\n"; }
std::string cannot_listen_grpc_message(const std::string& address) {
  return "Cannot listen for gRPC on " + shown(address) + ": no such address here, or its port is taken\n";
}

std::string cannot_listen_message(const std::string& address, const std::string& reason) {
  return "Cannot listen on " + shown(address) + ": " + reason + "\n";
}

std::string token_in_clear_message(const std::string& host) {
  return "karva: the token would cross the network in clear on " + shown(host) + "; put a TLS proxy in front.\n";
}

std::string no_token_message(const std::string& host) {
  return "karva: anyone who reaches " + shown(host) + " may use the models; --token-file FILE asks for a token.\n";
}

std::string not_reloaded_message(const std::string& model, const std::string& why) {
  return "The key of model " + shown(model) + " is not reloaded: " + why;
}

std::string connection_ended_message(const std::string& what) { return "A connection ended: " + what + "\n"; }

std::string log_lines_dropped_message(std::uint64_t lines) {
  return "karva: " + std::to_string(lines) + " access-log lines were dropped while the log was not read.\n";
}

std::string token_error_message(const TokenError& err) {
  const std::string file = "karva: the token file " + shown(err.path);
  switch (err.kind) {
    case TokenError::Kind::EMPTY: return file + " holds no token on its first line.\n";
    case TokenError::Kind::FOLDER: return file + " is a folder.\n";
    case TokenError::Kind::TOO_LONG:
      return file + " holds a token longer than " + std::to_string(err.most) + " bytes.\n";
    case TokenError::Kind::BAD_BYTE: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", err.byte);
      return file + " holds the byte " + hex +
             " in its token, which a header cannot carry: a token is printable ASCII without spaces.\n";
    }
  }
  return file + ".\n";
}

}  // namespace karva
