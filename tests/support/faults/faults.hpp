// The control of the injected I/O faults (fault_inject.cpp), for C++ tests
// that link it: rules for the calls to fail, armed for one scope.
#pragma once

#include <string>
#include <vector>

extern "C" {
void vx_fault_reset();
int vx_fault_add(const char* only, long nth, int error);
void vx_fault_arm();
void vx_fault_disarm();
long vx_fault_calls();
long vx_fault_fired();
const char* vx_fault_first_fired();
long vx_fault_process_reads();
const char* vx_fault_first_process_read();
}

namespace vornex::test::faults {

// Fails the nth (1-based) call named `only`, or of every intercepted call
// when `only` is null, with `error`.
struct Rule {
  const char* only;
  long nth;
  int error;
};

// Counts, and fails as the rules say, from construction until destruction.
class Armed {
 public:
  explicit Armed(const std::vector<Rule>& rules = {}) {
    vx_fault_reset();
    for (const Rule& rule : rules) vx_fault_add(rule.only, rule.nth, rule.error);
    vx_fault_arm();
  }
  Armed(const Armed&) = delete;
  Armed& operator=(const Armed&) = delete;
  ~Armed() { vx_fault_disarm(); }

  // Disarms early, so that checks made in the scope run undisturbed.
  void stop() { vx_fault_disarm(); }

  long calls() const { return vx_fault_calls(); }
  long fired() const { return vx_fault_fired(); }
  std::string first_fired() const { return vx_fault_first_fired(); }
  long process_reads() const { return vx_fault_process_reads(); }
  std::string first_process_read() const { return vx_fault_first_process_read(); }
};

}  // namespace vornex::test::faults
