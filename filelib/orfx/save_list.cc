#include "filelib/orfx/save_list.h"

#include <algorithm>

namespace vslk64 {

namespace {
// Switches kept past the newest buffered time when a program flips saving
// faster than its data arrive.
constexpr size_t kKeptSwitches = 100;
}  // namespace

void CSaveList::Reset() {
  switches_.clear();
  start_ = 0;
  startSaving_ = true;
}

size_t CSaveList::SwitchesUpTo(TSTime64 t) const {
  return static_cast<size_t>(std::upper_bound(switches_.begin(), switches_.end(), t) -
                             switches_.begin());
}

bool CSaveList::IsSaving(TSTime64 t) const {
  if (t < start_) return startSaving_;
  return startSaving_ != (SwitchesUpTo(t) % 2 == 1);
}

bool CSaveList::SavingNow() const { return startSaving_ != (switches_.size() % 2 == 1); }

void CSaveList::Save(TSTime64 t, bool on) {
  if (t <= start_) {
    startSaving_ = on;
    switches_.clear();
    return;
  }
  switches_.erase(std::lower_bound(switches_.begin(), switches_.end(), t), switches_.end());
  if (IsSaving(t) != on) switches_.push_back(t);
}

void CSaveList::SaveRange(TSTime64 from, TSTime64 upto) {
  if (upto <= start_ || from >= upto) return;
  const TSTime64 a = std::max(from, start_);
  const bool after = IsSaving(upto);
  const bool before = a == start_ ? true : IsSaving(a - 1);
  switches_.erase(std::lower_bound(switches_.begin(), switches_.end(), a),
                  std::upper_bound(switches_.begin(), switches_.end(), upto));
  if (a == start_) {
    startSaving_ = true;
  } else if (!before) {
    switches_.insert(std::lower_bound(switches_.begin(), switches_.end(), a), a);
  }
  if (!after) switches_.insert(std::lower_bound(switches_.begin(), switches_.end(), upto), upto);
}

int CSaveList::NoSaveList(TSTime64* times, uint32_t max, TSTime64 from, TSTime64 upto) const {
  if (upto <= start_ || upto <= from) return 0;
  uint32_t count = 0;
  const auto put = [&](TSTime64 t) {
    if (count < max && times != nullptr) times[count] = t;
    ++count;
  };
  if (!IsSaving(from)) put(std::max(from, start_));
  for (auto it = std::upper_bound(switches_.begin(), switches_.end(), from);
       it != switches_.end() && *it < upto; ++it) {
    put(*it);
  }
  return static_cast<int>(std::min<uint32_t>(count, INT32_MAX));
}

void CSaveList::Prune(TSTime64 buffered, TSTime64 t) {
  if (t <= buffered) return;
  const auto first = std::upper_bound(switches_.begin(), switches_.end(), buffered);
  const auto last = std::upper_bound(switches_.begin(), switches_.end(), t);
  const size_t n = static_cast<size_t>(last - first);
  if (n <= kKeptSwitches + 1) return;
  size_t excess = n - kKeptSwitches;
  if (excess % 2 == 1) --excess;  // pairs keep the states after them
  switches_.erase(first, first + static_cast<std::ptrdiff_t>(excess));
}

void CSaveList::ForgetBefore(TSTime64 t) {
  if (t <= start_) return;
  const size_t n = SwitchesUpTo(t);
  if (n % 2 == 1) startSaving_ = !startSaving_;
  switches_.erase(switches_.begin(), switches_.begin() + static_cast<std::ptrdiff_t>(n));
  start_ = t;
}

std::vector<CSaveList::TStretch> CSaveList::SavingStretches(TSTime64 lowest,
                                                            TSTime64 limit) const {
  std::vector<TStretch> out;
  const auto add = [&](TSTime64 a, TSTime64 b) {
    a = std::max(a, lowest);
    b = std::min(b, limit);
    if (a < b) out.push_back({a, b});
  };
  // A stretch of the start state reaches back before the start: the list
  // says nothing there, and what is there is treated as the start state.
  size_t i = 0;
  TSTime64 from = INT64_MIN;
  bool saving = startSaving_;
  for (; i <= switches_.size(); ++i) {
    const TSTime64 upto = i < switches_.size() ? switches_[i] : kMaxTime64;
    if (saving) add(from, upto);
    if (upto >= limit) break;
    from = upto;
    saving = !saving;
  }
  return out;
}

}  // namespace vslk64
