#include "reader/file_usage.h"

namespace qm::reader {

// Usages of one model follow each other: the last name answers most calls.
std::uint32_t Names::id(std::string_view name) {
  if (last_ != kNone && names_[last_] == name) return last_;
  auto it = ids_.find(name);
  if (it == ids_.end()) {
    names_.emplace_back(name);
    it = ids_.emplace(names_.back(), static_cast<std::uint32_t>(names_.size() - 1)).first;
  }
  return last_ = it->second;
}

std::uint32_t ListModels::operator()(std::uint32_t name) {
  if (name == Names::kNone) return Usage::kNoModel;
  if (ids_.size() < names_->size()) ids_.resize(names_->size(), kUnknown);
  std::uint32_t& id = ids_[name];
  if (id == kUnknown) id = list_->model((*names_)[name]);
  return id;
}

KeyBytes& KeyBytes::text(std::string_view t) {
  number(t.size());
  bytes_ += t;
  return *this;
}

KeyBytes& KeyBytes::number(std::uint64_t n) {
  for (; n >= 0x80; n >>= 7) bytes_ += static_cast<char>(0x80 | (n & 0x7F));
  bytes_ += static_cast<char>(n);
  return *this;
}

KeyBytes& KeyBytes::counts(const Counts& c) {
  return number(c.input).number(c.output).number(c.cache_creation).number(c.cache_read).number(c.reasoning);
}

Usage& add_counts(UsageList& list, std::int64_t time_ms, std::uint32_t model, const Counts& counts) {
  Usage& u = list.add(time_ms, model);
  u.input = counts.input;
  u.output = counts.output;
  u.cache_creation = counts.cache_creation;
  u.cache_read = counts.cache_read;
  u.reasoning = counts.reasoning;
  return u;
}

}  // namespace qm::reader
