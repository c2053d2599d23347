#include "launcher/update_plan.h"

#include "common/text.h"
#include "launcher/update_decision.h"

namespace velda {

void format_local_newer_line(const char* installed_version, const char* server_version,
                             char out[kLocalNewerLineSize]) {
    format_bounded(out, kLocalNewerLineSize,
                   "Version local (%s) es mayor que server (%s); se mantiene local.",
                   installed_version, server_version);
}

UpdatePlan plan_update(const Manifest& manifest, const char* installed_version,
                       bool product_present, bool install_folder_existed, bool package_unfinished) {
    UpdatePlan plan = {};
    auto add = [&plan](UpdateMeans means) { plan.means[plan.means_count++] = means; };
    if (package_unfinished) {
        plan.opening_line = kUnfinishedPackageLine;
        add(UpdateMeans::KillProducts);
        add(UpdateMeans::Package);
        return plan;
    }
    if (changed_files_applicable(manifest, installed_version, product_present)) {
        add(UpdateMeans::ChangedFiles);
    } else if (changed_files_not_applicable_logged(manifest, product_present)) {
        plan.opening_line = kChangedFilesNotApplicableLine;
    }
    add(UpdateMeans::KillProducts);
    if (install_folder_existed) {
        add(UpdateMeans::DirectExecutable);
    }
    add(UpdateMeans::Package);
    return plan;
}

}  // namespace velda
