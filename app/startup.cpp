#include "app/startup.h"

#include "app/app.h"

namespace launcher {

void StartStartupJob(App& /*app*/, bool /*takeOver*/) {
    // The start-up job is not written yet; the launcher starts without it.
}

}  // namespace launcher
