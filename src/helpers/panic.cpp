#include "helpers/panic.h"

#include <pthread.h>

#include <cstdio>

namespace helpers {

void panic(std::string_view message, std::source_location where) {
    char name[64] = {};
    // The name is diagnostic only; an unnamed thread is reported as such.
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        std::snprintf(name, sizeof name, "<unnamed>");
    std::fprintf(stderr, "selquor_rs: internal failure at %s:%u:%u (thread %s): %.*s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), name,
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    throw InternalFailure(std::string(message));
}

}  // namespace helpers
