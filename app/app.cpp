#include "app/app.h"

#include <exception>

namespace launcher {

App::App() : http(MakeHttp()), platform(MakePlatform()) {}

App::~App() {
    // The entry function joins the worker at shut-down; a joinable thread here would terminate.
    if (worker.joinable()) worker.join();
    // The Builder borrows http and platform, so it goes first.
    builder.reset();
}

void App::StartTask(Job job, std::string doneText) {
    if (busy) return;
    if (worker.joinable()) worker.join();
    busy = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        error.clear();
        done.clear();
        status = Status{};
    }
    try {
        worker = std::thread(RunTask, this, std::move(job), std::move(doneText));
    } catch (const std::exception& e) {
        // No thread for the job (the system is out of threads or memory): the page stays usable.
        try {
            if (builder) builder->Log(std::string("could not start a job: ") + e.what());
        } catch (...) {
        }
        std::lock_guard<std::mutex> lock(mutex);
        error = kInternalErrorText;
        busy = false;
    }
}

namespace {

// Runs the job; an exception that escapes it ends the job, not the program: it is logged and the user
// gets one sentence.
bool RunCatching(App* app, Job& job, std::string& err) {
    std::string what;
    try {
        return job(err);
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
        what = "an exception of an unknown kind";
    }
    try {
        if (app->builder) app->builder->Log("internal error: " + what);
    } catch (...) {
        // Nothing more can be said; the sentence below still reaches the user.
    }
    err = kInternalErrorText;
    return false;
}

}  // namespace

void RunTask(App* app, Job job, std::string doneText) {
    std::string err;
    bool ok = RunCatching(app, job, err);
    // The sizes walk whole folder trees: they are taken before the lock, which every frame needs, and
    // stored with the job's outcome. Sizes are a convenience: a failure to read them must not keep
    // `busy` set for ever.
    uint64_t buildFiles = 0;
    uint64_t leftovers = 0;
    bool buildFilesWhole = true;
    bool leftoversWhole = true;
    bool measured = false;
    if (app->builder) {
        try {
            buildFiles = app->builder->BuildFilesSize(&buildFilesWhole);
            leftovers = app->builder->LeftoverBuildFilesSize(&leftoversWhole);
            measured = true;
        } catch (...) {
        }
    }
    std::lock_guard<std::mutex> lock(app->mutex);
    if (ok) {
        app->done = std::move(doneText);
    } else {
        app->error = err == "cancelled" ? std::string(kStoppedText) : err;
    }
    app->status = Status{};
    if (measured) {
        app->buildFilesSize = buildFiles;
        app->leftoverSize = leftovers;
        app->buildFilesSizeWhole = buildFilesWhole;
        app->leftoverSizeWhole = leftoversWhole;
        app->sizesPending = false;
    }
    app->busy = false;
}

std::function<void(const Status&)> MakeStatusSink(App& app) {
    return [&app](const Status& status) {
        std::lock_guard<std::mutex> lock(app.mutex);
        app.status = status;
    };
}

std::function<void(const std::string&)> MakeLogSink(App& app) {
    return [&app](const std::string& line) {
        std::lock_guard<std::mutex> lock(app.mutex);
        app.log.push_back(line);
        while (app.log.size() > kLogLines) app.log.pop_front();
    };
}

}  // namespace launcher
