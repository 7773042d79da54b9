#include "support/file_size_limit.h"

#include <signal.h>
#include <sys/resource.h>

namespace launcher::test {

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
    saved_ = limit.rlim_cur;
    savedHandler_ = signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = saved_;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    signal(SIGXFSZ, savedHandler_);
}

}  // namespace launcher::test
