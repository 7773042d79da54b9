// Placeholder until the HTTP client lands.
#include "platform/http.h"

namespace launcher {

namespace {

class PendingHttp final : public Http {
public:
    bool Get(const std::string&, uint64_t, const ChunkSink&, uint64_t*, std::string& err) override {
        err = "the network is not available yet";
        return false;
    }
};

}  // namespace

std::unique_ptr<Http> MakeHttp() {
    return std::make_unique<PendingHttp>();
}

}  // namespace launcher
