#pragma once
// What a mode's run is handed besides its configuration: the services it
// works through. The entry point makes one for the real run; a test makes one
// over an in-memory HTTP client.
#include "net/http_client.h"

namespace rr {

struct RunContext {
    // Every manifest, signature, file and package of the run comes over this
    // client, with one retry policy for all of them.
    HttpClient& http;
};

}  // namespace rr
