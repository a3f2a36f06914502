#include "run/plan.h"

#include <algorithm>
#include <span>

#include "config/cp932.h"
#include "config/profile.h"
#include "package/container.h"

namespace upd {
namespace {

// `folder` joined with `component` as the run's JoinPath joins them (one '\' between).
std::string Join(std::string_view folder, std::string_view component) {
  FixedString<2 * kLongCapacity> joined;
  joined.assign(folder);
  if (!JoinPath(std::span<char>(joined.bytes), component)) return std::string(folder) + "\\" + std::string(component);
  return std::string(joined.view());
}

void StopAt(RunPlan& plan, PlanStop stop, std::string key, ItemPathFault path_fault = ItemPathFault::kNone,
            UpdateValueFault value_fault = UpdateValueFault::kNone) {
  if (plan.stop != PlanStop::kNone) return;  // the first stop is the one the run meets
  plan.stop = stop;
  plan.stop_key = std::move(key);
  plan.stop_path_fault = path_fault;
  plan.stop_value_fault = value_fault;
}

void PlanItems(std::string_view update_ini, RunPlan& plan) {
  for (ListValue& v : ReadListValues(update_ini, "UpdateFile", kUpdateFileCapacity)) {
    PlannedItem item;
    item.key = std::move(v.key);
    item.value = std::string(v.value.view());
    item.parsed = ParseUpdateFileValue(item.value, plan.inst_mode, v.cut);
    UpdateFileEntry shown = item.parsed;
    if (!item.parsed.applies) {
      item.action = ItemAction::kFiltered;
      shown = ParseUpdateFileValue(item.value, item.parsed.filter, v.cut);  // only to show where it goes
    } else if (item.parsed.fault != UpdateValueFault::kNone) {
      plan.refused_value = true;
      StopAt(plan, PlanStop::kRefusedValue, item.key, ItemPathFault::kNone, item.parsed.fault);
    }
    if (shown.fault == UpdateValueFault::kNone) {
      item.placed = true;
      item.item = shown.item;
      item.data = shown.item.Mode == UpdateMode::kData;
      item.target = Join(plan.data_folder, shown.item.Path.view());
      item.path_fault = CheckItemPath(shown.item.Path.view());
      const std::vector<std::string> path = PathComponents(shown.item.Path.view());
      item.names_no_file = path.empty();
      item.folders = plan.data_folder_parts;
      if (!path.empty()) {
        item.folders.insert(item.folders.end(), path.begin(), path.end() - 1);
        item.file = path.back();
      }
      if (item.Applies()) item.action = ActionOf(shown.item.Mode, plan.overwrite_only);
    }
    plan.items.push_back(std::move(item));
  }
}

void PlanCopies(std::string_view update_ini, RunPlan& plan) {
  for (ListValue& v : ReadListValues(update_ini, "CopyFile", kCopyFileCapacity)) {
    PlannedCopy copy;
    copy.key = std::move(v.key);
    copy.value = std::string(v.value.view());
    copy.parsed = ParseCopyFileValue(copy.value, plan.inst_mode, v.cut);
    copy.applies = copy.parsed.applies;
    CopyFileEntry shown = copy.parsed;
    if (!copy.applies) {
      shown = ParseCopyFileValue(copy.value, static_cast<unsigned char>(copy.parsed.filter) - '0', v.cut);
    } else if (copy.parsed.fault != UpdateValueFault::kNone) {
      plan.refused_value = true;
      StopAt(plan, PlanStop::kRefusedValue, copy.key, ItemPathFault::kNone, copy.parsed.fault);
    }
    if (shown.fault == UpdateValueFault::kNone) {
      copy.placed = true;
      copy.item = shown.item;
      copy.path_fault = CheckItemPath(shown.item.Path.view());
      copy.parts = PathComponents(shown.item.Path.view());
      if (copy.applies && copy.path_fault != ItemPathFault::kNone) {
        StopAt(plan, PlanStop::kRefusedPath, copy.key, copy.path_fault);
      }
    }
    plan.copies.push_back(std::move(copy));
  }
}

}  // namespace

ItemAction ActionOf(UpdateMode mode, bool overwrite_only) {
  const bool only = overwrite_only || mode == UpdateMode::kOverwrite;
  if (mode == UpdateMode::kData) return only ? ItemAction::kKeepContentOnly : ItemAction::kKeepContent;
  if (mode == UpdateMode::kNewer) return only ? ItemAction::kOverwriteOnlyUnlessNewer : ItemAction::kWriteUnlessNewer;
  return only ? ItemAction::kOverwriteOnly : ItemAction::kWrite;
}

bool WritesOnlyOverExisting(ItemAction action) {
  return action == ItemAction::kOverwriteOnly || action == ItemAction::kOverwriteOnlyUnlessNewer ||
         action == ItemAction::kKeepContentOnly;
}

bool KeepsContent(ItemAction action) {
  return action == ItemAction::kKeepContent || action == ItemAction::kKeepContentOnly;
}

bool KeepsNewer(ItemAction action) {
  return action == ItemAction::kWriteUnlessNewer || action == ItemAction::kOverwriteOnlyUnlessNewer;
}

ItemStep DecideItem(ItemAction action, const TargetSight& sight) {
  const bool file_there = sight.folder_there && sight.kind == TargetKind::kFile;
  if (WritesOnlyOverExisting(action) && !file_there) return ItemStep::kLeaveAlone;
  if (KeepsContent(action) && file_there) return ItemStep::kKeepContent;
  return ItemStep::kWrite;
}

ItemResult WriteOutcome(ItemAction action, const TargetSight& sight, std::optional<std::uint64_t> entry_time) {
  if (!sight.folder_there) return {ItemOutcome::kFails, ItemFailure::kFolderMissing};
  if (!entry_time) return {ItemOutcome::kFails, ItemFailure::kNoEntry};
  if (sight.kind == TargetKind::kFolder) return {ItemOutcome::kFails, ItemFailure::kFolderInPlace};
  if (sight.kind == TargetKind::kNothing) return {ItemOutcome::kNew};
  if (KeepsNewer(action) && sight.time && IsNewerThanEntry(*sight.time, *entry_time)) {
    return {ItemOutcome::kKeptNewer};
  }
  return {ItemOutcome::kReplaced};
}

ItemResult OutcomeOf(ItemAction action, const TargetSight& sight, std::optional<std::uint64_t> entry_time) {
  switch (DecideItem(action, sight)) {
    case ItemStep::kLeaveAlone: return {ItemOutcome::kLeftAlone};
    case ItemStep::kKeepContent: return {ItemOutcome::kNewTime};
    case ItemStep::kWrite: break;
  }
  return WriteOutcome(action, sight, entry_time);
}

RunPlan PlanRun(std::string_view update_ini, std::int32_t inst_mode) {
  RunPlan plan;
  plan.inst_mode = inst_mode;
  plan.overwrite_only = ReadOverwriteOnly(update_ini);
  plan.required_disk_space = ReadRequiredDiskSpace(update_ini);
  NameString data_folder;
  ReadProfileString(update_ini, "SETUP", "DataFolder", data_folder.bytes);
  plan.data_folder = std::string(data_folder.view());
  plan.data_folder_fault = CheckItemPath(plan.data_folder);
  plan.data_folder_parts = PathComponents(plan.data_folder);

  PlanItems(update_ini, plan);
  PlanCopies(update_ini, plan);

  const bool any_item = std::any_of(plan.items.begin(), plan.items.end(),
                                    [](const PlannedItem& i) { return i.Applies(); });
  const bool any_copy = std::any_of(plan.copies.begin(), plan.copies.end(),
                                    [](const PlannedCopy& c) { return c.applies; });
  if (!any_item && !any_copy) StopAt(plan, PlanStop::kNothingApplies, "");
  // Every path is checked before anything is written: a path that would fail, or land
  // elsewhere, when its turn comes refuses the whole update instead.
  if (any_item && plan.data_folder_fault != ItemPathFault::kNone) {
    StopAt(plan, PlanStop::kRefusedPath, "", plan.data_folder_fault);
  }
  for (const PlannedItem& item : plan.items) {
    if (!item.Applies() || item.parsed.fault != UpdateValueFault::kNone) continue;
    if (item.path_fault != ItemPathFault::kNone || item.names_no_file) {
      StopAt(plan, PlanStop::kRefusedPath, item.key, item.path_fault);
    }
  }
  return plan;
}

std::vector<std::string> PathComponents(std::string_view path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (std::size_t i = 0; i < path.size();) {
    const std::size_t n = cp932::CharLength(path, i);
    if (n == 1 && (path[i] == '\\' || path[i] == '/')) {
      flush();
    } else {
      part.append(path.substr(i, n));
    }
    i += n;
  }
  flush();
  return parts;
}

}  // namespace upd
