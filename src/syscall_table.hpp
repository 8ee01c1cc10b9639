// The system-call filter's table: for each call a lookup makes, or that is
// refused by name, one entry with the clauses that decide it. Read by
// filter_compiler when the tool is built, through libseccomp, into the
// programs of syscall_program.hpp; nothing here runs in the tool itself.
#ifndef IPWHERE_SYSCALL_TABLE_HPP_
#define IPWHERE_SYSCALL_TABLE_HPP_

#include <seccomp.h>

#include <string>
#include <vector>

#include "syscall_program.hpp"

namespace ipwhere {

// A clause holds when every comparison of one of its sets holds; one empty
// set holds always.
using Comparisons = std::vector<scmp_arg_cmp>;
using Alternatives = std::vector<Comparisons>;

enum class Verdict {
  kAllow,   // the allow-list lets the call through where the clause holds
  kRefuse,  // the allow-list refuses it there (by name, where always)
  kNarrow,  // the refusals refuse it there, however the allow-list decides
};

struct Clause {
  Verdict verdict;
  Alternatives when;
  int error;  // for kRefuse and kNarrow
  // Where this is in the process, the clause allows instead of refusing,
  // or allows at all.
  Relaxation relaxed_by;
};

struct CallEntry {
  const char* call;
  std::vector<Clause> clauses;
};

// Whether the clause holds whatever the arguments.
bool holds_always(const Clause& clause);

// The whole table, each call once, with `terminal_slots` stand-ins for
// the terminals a run keeps open besides 0 to 2 (kTerminalSlots, or none).
std::vector<CallEntry> syscall_table(std::uint32_t terminal_slots);

// What contradicts the design of the table: a call named twice, a call
// both refused by name and allowed, a call allowed always and decided
// again in the allow-list. Empty when there is none.
std::vector<std::string> table_faults(const std::vector<CallEntry>& table);

// The call's number on this build's architecture, also for calls that
// libseccomp releases older than the kernel do not know; below 0 for a
// call this architecture does not have.
int call_number(const char* name);

}  // namespace ipwhere

#endif  // IPWHERE_SYSCALL_TABLE_HPP_
