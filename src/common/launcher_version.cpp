#include "common/launcher_version.h"

#ifndef VELDA_LAUNCHER_VERSION
#error "VELDA_LAUNCHER_VERSION must be defined by the build"
#endif

namespace velda {

const char* launcher_version() {
    return VELDA_LAUNCHER_VERSION;
}

}  // namespace velda
