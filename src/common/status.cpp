#include "common/status.h"

#include <cstdarg>
#include <cstdio>

#include "common/log.h"
#include "common/text.h"

namespace velda {

Status Status::failure(StatusStage stage, unsigned long win32_error) {
    Status status;
    status.stage_ = stage;
    status.win32_error_ = win32_error;
    return status;
}

Status Status::failure(StatusStage stage, unsigned long win32_error, const char* format, ...) {
    Status status = failure(stage, win32_error);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(status.reason_, sizeof(status.reason_), format, arguments);
    va_end(arguments);
    return status;
}

const char* status_stage_name(StatusStage stage) {
    switch (stage) {
        case StatusStage::None:
            return "ninguna etapa";
        case StatusStage::Download:
            return "descarga";
        case StatusStage::PackageCheck:
            return "revision del paquete";
        case StatusStage::Extraction:
            return "descompresion";
        case StatusStage::ChangedFiles:
            return "archivos modificados";
        case StatusStage::Validation:
            return "validacion";
        case StatusStage::VersionStamp:
            return "sello de version";
        case StatusStage::Staging:
            return "preparacion de la actualizacion";
        case StatusStage::Commit:
            return "cambio de la instalacion";
    }
    return "etapa desconocida";
}

bool format_status_detail(const Status& status, char* out, size_t out_size) {
    if (out_size == 0) {
        return false;
    }
    out[0] = '\0';
    if (status.ok() || status.reason()[0] == '\0') {
        return false;
    }
    if (status.win32_error() != 0) {
        format_bounded(out, out_size, "Fallo en %s: %s (GetLastError=%lu)",
                       status_stage_name(status.stage()), status.reason(), status.win32_error());
    } else {
        format_bounded(out, out_size, "Fallo en %s: %s", status_stage_name(status.stage()),
                       status.reason());
    }
    return true;
}

void log_status_detail(const Status& status) {
    char line[kStatusReasonSize + 128];
    if (format_status_detail(status, line, sizeof(line))) {
        log_detail("%s", line);
    }
}

}  // namespace velda
