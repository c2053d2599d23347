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

const ChangeSet* change_set_of(const ReleaseDetails* details, const char* installed_version) {
    return details != nullptr ? change_set_for(*details, installed_version) : nullptr;
}

bool direct_executable_allowed(const PlanInputs& inputs) {
    if (!inputs.install_folder_existed) {
        return false;
    }
    if (inputs.details != nullptr && inputs.details->direct_record_present) {
        return direct_makes_release_whole(*inputs.details, inputs.installed_version);
    }
    return !inputs.keyed;
}

UpdatePlan plan_update(const Manifest& manifest, const PlanInputs& inputs) {
    UpdatePlan plan = {};
    auto add = [&plan](UpdateMeans means) { plan.means[plan.means_count++] = means; };
    if (inputs.package_unfinished) {
        plan.opening_line = kUnfinishedPackageLine;
        add(UpdateMeans::Package);
        return plan;
    }
    if (inputs.product_present &&
        change_set_of(inputs.details, inputs.installed_version) != nullptr) {
        add(UpdateMeans::ChangedFiles);
    } else if (changed_files_applicable(manifest, inputs.installed_version,
                                        inputs.product_present)) {
        add(UpdateMeans::ChangedFiles);
    } else if (changed_files_not_applicable_logged(manifest, inputs.product_present)) {
        plan.opening_line = kChangedFilesNotApplicableLine;
    }
    if (direct_executable_allowed(inputs)) {
        add(UpdateMeans::DirectExecutable);
    }
    add(UpdateMeans::Package);
    return plan;
}

}  // namespace velda
