#include "supervision/update.h"

#include "logging/log.h"

namespace supervision::update {

bool exec() {
    logging::logger_stream(logging::level_warning, L"update::exec")
        << L"remote update is not available in this build";
    return false;
}

}  // namespace supervision::update
