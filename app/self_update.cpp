#include "app/self_update.h"

#include "app/app.h"
#include "app/self_path.h"
#include "build/builder.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/transfer.h"

namespace launcher {

namespace fs = std::filesystem;

bool UpdateLauncher(App& app, const Release& release, std::string& err) {
    const fs::path self = SelfExePath();
    fs::path fresh = self;
    fresh += ".new";
    fs::path old = self;
    old += ".old";

    std::atomic<bool>* stop = app.builder ? &app.builder->stop : nullptr;
    if (stop) stop->exchange(false);

    ProgressSink progress = [&app](uint64_t done, uint64_t total) {
        std::lock_guard<std::mutex> lock(app.mutex);
        app.status.title = "Downloading the new launcher";
        app.status.detail = FormatSize(done) + " of " + FormatSize(total);
        app.status.progress = total != 0 ? static_cast<double>(done) / static_cast<double>(total) : -1.0;
    };
    if (!Download(*app.http, release.download_url, fresh, release.sha256, release.size, progress, stop, err)) {
        return false;
    }

    // The download is a plain new file; it takes the running executable's permissions so that the
    // restart can run it (POSIX gives a downloaded file no execute bit).
    std::error_code ec;
    const fs::file_status own = fs::status(self, ec);
    if (!ec && fs::exists(own)) fs::permissions(fresh, own.permissions(), fs::perm_options::replace, ec);

    fs::remove(old, ec);
    std::string why;
    if (!MoveReplacing(self, old, why)) {
        err = "The launcher could not be updated (it could not rename itself). The new one is " + PathUtf8(fresh) + ".";
        return false;
    }
    if (!MoveReplacing(fresh, self, why)) {
        MoveReplacing(old, self, why);
        err = "The launcher could not be updated (the new one could not take its place). It is " + PathUtf8(fresh) +
              ".";
        return false;
    }
    app.relaunch.exchange(true);
    return true;
}

}  // namespace launcher
