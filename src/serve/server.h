// karva --serve: keys as models behind HTTP, in the Open Inference Protocol
// (V2: KServe, Triton, MLServer) and in the forms MLflow's scoring server
// takes, scored by the run core with exactly the command's numbers. The
// house: the transport (transport.h), the routes and the protocols'
// answers (routes.h, request.h), scoring (scoring.h), the log and metrics.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "serve/scoring.h"
#include "serve/settings.h"

namespace karva {

// What the service writes back for `raw`, the bytes a client sent on one
// connection (requests one after another), when the client then hangs up:
// the same answers as a connection gives, without a socket or a thread
// (for the fuzz target and the tests).
std::string answer_bytes(const Models& models, const ServeSettings& settings, std::string_view raw);

// Serves until SIGINT or SIGTERM; "Listening on http://HOST:PORT" is the
// first line on `out`, the access log and complaints go to `log`. Gives the
// exit status.
int serve(const Models& models, const ServeSettings& settings, std::FILE* out, std::FILE* log);

}  // namespace karva
