#include "interrupt.hpp"

namespace voskel::interrupt {

namespace {
thread_local const Flag *t_flag = nullptr;
}

Scope::Scope(const Flag *flag) noexcept : previous_(t_flag) { t_flag = flag; }
Scope::~Scope() { t_flag = previous_; }

const Flag *current() noexcept { return t_flag; }

bool requested() noexcept { return t_flag != nullptr && t_flag->raised(); }

Status checkpoint() {
  if (requested())
    return fail_msg("interrupted");
  return {};
}

} // namespace voskel::interrupt
