#pragma once

#include <httplib.h>

#include "TakeCatalog.h"

namespace brindlow::devserver {

// The web app's recording pages on `web`: the library at "/", a take's page at
// /screen-recorder/view/<folder or take id>, the JSON they read below
// /screen-recorder/api/, each stream as one file at /screen-recorder/media/<id>/<stream>
// (Range through WebGate::kRangeHeader), and the pages' files below /_web/.
// `takes` outlives the server.
void routeWebApp(httplib::Server& web, const TakeCatalog& takes);

}  // namespace brindlow::devserver
