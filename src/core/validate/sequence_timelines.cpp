// The bookkeeping of the timelines: which changed in this run (what the
// caller reads again), and cutting every one of them at the iteration the
// fixed point settles in.
#include "sequence_impl.hpp"

#include <utility>
#include <vector>

namespace vornex::core::validate::detail {

void Sequence::Impl::touch(Handle h) {
  switch (h.kind) {
    case Handle::Item:
      if (items_[h.index].pass == Pass::Grants && touched_item_.insert(h.index).second) {
        touched_.grants.push_back(h.index);
      }
      break;
    case Handle::Root:
      if (touched_root_.insert(h.index).second) touched_.principals.push_back(h.index);
      break;
    case Handle::Answer:
      if (touched_question_.insert(h.index).second) touched_.questions.push_back(h.index);
      break;
    default:
      break;
  }
}

void Sequence::Impl::begin_run() {
  touched_ = {};
  touched_item_.clear();
  touched_root_.clear();
  touched_question_.clear();
}

void Sequence::Impl::truncate_after(Iteration k) {
  for (Iteration j = static_cast<Iteration>(k + 1); j <= kLastIteration; ++j) {
    std::vector<Handle> handles = std::move(registry_[j]);
    registry_[j].clear();
    for (const Handle h : handles) {
      bool changed = false;
      const auto on_point = on_point_of(h);
      switch (h.kind) {
        case Handle::Item:
          changed = items_[h.index].value.truncate_after(k, on_point);
          if (changed) {
            refresh_memberships(h.index);
            memberships_moved(h.index);
          }
          break;
        case Handle::Root: changed = principals_[h.index].root.truncate_after(k, on_point); break;
        case Handle::RootGrants: changed = principals_[h.index].root_grants.truncate_after(k, on_point); break;
        case Handle::Answer: changed = questions_[h.index].answer.truncate_after(k, on_point); break;
        case Handle::Witness: questions_[h.index].witness.truncate_after(k, on_point); break;
        case Handle::Entry:
          changed = entry_groups_[h.index].count.truncate_after(k, on_point);
          if (changed) {
            ++entry_epoch_;
            refresh_filing(h.index);
          }
          break;
        case Handle::Admission: contenders_[h.index].admitted.truncate_after(k, on_point); break;
        case Handle::ClassCount: class_counts_[h.index].truncate_after(k, on_point); break;
        case Handle::Tally: contests_[h.index].tally.truncate_after(k, on_point); break;
        case Handle::Top: items_[h.index].top.truncate_after(k, on_point); break;
      }
      if (changed) touch(h);
    }
  }
}

}  // namespace vornex::core::validate::detail
