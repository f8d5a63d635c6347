// The service of a karva built without it (-DKARVA_SERVE=OFF, as the thread
// sanitizer's build is, whose runs never serve): --serve says so.
#include "engine/run.h"
#include "render/messages.h"
#include "serve/server.h"

namespace karva {

std::string answer_bytes(const Models&, const ServeSettings&, std::string_view) { return ""; }

int serve(const Models&, const ServeSettings&, std::FILE*, std::FILE* log) {
  std::fputs(serve_not_built_message().c_str(), log);
  return EXIT_FAILED;
}

}  // namespace karva
