// filter_compiler: compiles the system-call filter's table into the BPF
// programs the tool loads, written as C++ source. Run when the tool is
// built, for the architecture it is built for:
//   filter_compiler OUTPUT.cpp
// Fails, and so fails the build, where the table contradicts itself or
// libseccomp refuses a clause.
#include <seccomp.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "syscall_program.hpp"
#include "syscall_table.hpp"

namespace ipwhere {
namespace {

// A libseccomp filter, released with its scope.
class Filter {
 public:
  explicit Filter(std::uint32_t default_action)
      : context_(seccomp_init(default_action)) {
    // A call through another table (the 32-bit entry or x32 on x86-64)
    // ends the whole process; libseccomp's default would end only the
    // calling thread and leave a multi-threaded run hanging. No other
    // architecture is added: for 32-bit x86, libseccomp would turn the
    // socket rules into an unconditional socketcall rule.
    ok_ = context_ != nullptr &&
          seccomp_attr_set(context_, SCMP_FLTATR_ACT_BADARCH,
                           SCMP_ACT_KILL_PROCESS) == 0;
    // A tree of comparisons rather than a list, where libseccomp can.
    if (ok_)
      static_cast<void>(
          seccomp_attr_set(context_, SCMP_FLTATR_CTL_OPTIMIZE, 2));
  }
  ~Filter() {
    if (context_ != nullptr) seccomp_release(context_);
  }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  bool add(int number, std::uint32_t action, const Alternatives& when) {
    for (const Comparisons& set : when) {
      const int result =
          seccomp_rule_add_array(context_, action, number,
                                 static_cast<unsigned>(set.size()), set.data());
      // -EDOM: a call that exists on another architecture only.
      if (result != 0 && result != -EDOM) return false;
    }
    return true;
  }

  // The program as the kernel takes it; empty on failure.
  [[nodiscard]] std::vector<BpfInstruction> program() const {
    std::vector<BpfInstruction> code;
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return code;
    if (ok_ && seccomp_export_bpf(context_, fileno(file)) == 0) {
      std::rewind(file);
      BpfInstruction instruction = {};
      while (std::fread(&instruction, sizeof instruction, 1, file) == 1)
        code.push_back(instruction);
    }
    static_cast<void>(std::fclose(file));
    return code;
  }

 private:
  scmp_filter_ctx context_;
  bool ok_ = false;
};

bool fallback_for(int error, Fallback& fallback) {
  if (error == EPERM)
    fallback = kFallbackEperm;
  else if (error == EAFNOSUPPORT)
    fallback = kFallbackEafnosupport;
  else
    return false;
  return true;
}

// The action a clause compiles to; false where it has none.
bool action_of(const Clause& clause, std::uint32_t& action) {
  if (clause.verdict == Verdict::kAllow) {
    action = clause.relaxed_by == kNoRelaxation
                 ? SCMP_ACT_ALLOW
                 : action_stand_in(clause.relaxed_by, kFallbackDefault);
    return true;
  }
  if (clause.relaxed_by == kNoRelaxation) {
    action = SCMP_ACT_ERRNO(static_cast<std::uint32_t>(clause.error));
    return true;
  }
  Fallback fallback = kFallbackDefault;
  if (!fallback_for(clause.error, fallback)) return false;
  action = action_stand_in(clause.relaxed_by, fallback);
  return true;
}

bool uses(const std::vector<BpfInstruction>& code, std::uint32_t value) {
  return std::any_of(code.begin(), code.end(),
                     [&](const BpfInstruction& i) { return i.k == value; });
}

int fail(const std::string& why) {
  static_cast<void>(std::fprintf(stderr, "filter_compiler: %s\n", why.c_str()));
  return 1;
}

std::string program_source(const char* name,
                           const std::vector<BpfInstruction>& code) {
  std::string text = std::string("const BpfInstruction ") + name + "[] = {\n";
  for (const BpfInstruction& i : code) {
    char line[64];
    static_cast<void>(std::snprintf(line, sizeof line,
                                    "    {0x%02x, %u, %u, 0x%08x},\n", i.code,
                                    i.jt, i.jf, i.k));
    text += line;
  }
  return text + "};\n";
}

// The programs of one variant of the table.
struct Programs {
  std::vector<BpfInstruction> allow_list;
  std::vector<BpfInstruction> refusals;
  std::vector<std::pair<const char*, int>> refused_by_name;
};

// Compiles the table with `terminal_slots` stand-ins for terminals; an
// empty allow-list and a line on standard error where that fails.
Programs compile_table(std::uint32_t terminal_slots) {
  const std::vector<CallEntry> table = syscall_table(terminal_slots);
  const std::vector<std::string> faults = table_faults(table);
  for (const std::string& fault : faults) fail(fault);
  if (!faults.empty()) return {};

  Filter allow_list(kDefaultActionStandIn);
  Filter refusals(SCMP_ACT_ALLOW);
  Programs programs;
  for (const CallEntry& entry : table) {
    // Not a call of this architecture (libseccomp numbers those below 0).
    const int number = call_number(entry.call);
    if (number < 0) continue;
    for (const Clause& clause : entry.clauses) {
      std::uint32_t action = 0;
      Filter& filter =
          clause.verdict == Verdict::kNarrow ? refusals : allow_list;
      if (!action_of(clause, action) ||
          !filter.add(number, action, clause.when)) {
        fail(std::string(entry.call) + ": a clause libseccomp refuses");
        return {};
      }
      if (clause.verdict == Verdict::kRefuse && holds_always(clause) &&
          clause.error == EPERM)
        programs.refused_by_name.emplace_back(entry.call, number);
    }
  }
  programs.allow_list = allow_list.program();
  programs.refusals = refusals.program();
  if (programs.allow_list.empty() || programs.refusals.empty()) {
    fail("libseccomp made no program");
    return {};
  }
  // The stand-ins must stand where the run looks for them.
  bool stand_ins = uses(programs.refusals, kPidStandIn);
  for (std::uint32_t slot = 0; slot < terminal_slots; ++slot) {
    stand_ins = stand_ins && uses(programs.refusals, kTerminalStandIn + slot) &&
                uses(programs.allow_list, kTerminalStandIn + slot);
  }
  if (!stand_ins) {
    fail("a stand-in is missing from the programs");
    return {};
  }
  return programs;
}

int compile(const char* output) {
  // A run that keeps no terminal open besides 0 to 2, the usual one, loads
  // programs without the terminals' slots: the kernel compiles a filter
  // at each load, in time that grows with its length.
  const Programs terminals = compile_table(kTerminalSlots);
  const Programs bare = compile_table(0);
  if (terminals.allow_list.empty() || bare.allow_list.empty()) return 1;

  std::string text =
      "// Made by filter_compiler from syscall_table.cpp when the tool was "
      "built.\n#include <iterator>\n\n#include \"syscall_program.hpp\"\n\n"
      "namespace ipwhere {\nnamespace {\n\n";
  text += program_source("kAllowList", terminals.allow_list);
  text += program_source("kRefusals", terminals.refusals);
  text += program_source("kBareAllowList", bare.allow_list);
  text += program_source("kBareRefusals", bare.refusals);
  text += "const RefusedCall kRefusedByName[] = {\n";
  for (const auto& [name, number] : terminals.refused_by_name)
    text += "    {\"" + std::string(name) + "\", " + std::to_string(number) +
            "},\n";
  text +=
      "};\n\n}  // namespace\n\n"
      "BpfProgram allow_list_program(bool terminals) noexcept {\n"
      "  if (terminals) return {kAllowList, std::size(kAllowList)};\n"
      "  return {kBareAllowList, std::size(kBareAllowList)};\n}\n\n"
      "BpfProgram refusals_program(bool terminals) noexcept {\n"
      "  if (terminals) return {kRefusals, std::size(kRefusals)};\n"
      "  return {kBareRefusals, std::size(kBareRefusals)};\n}\n\n"
      "const RefusedCall* calls_refused_by_name(std::size_t& count) noexcept "
      "{\n  count = std::size(kRefusedByName);\n  return kRefusedByName;\n}\n\n"
      "}  // namespace ipwhere\n";
  std::FILE* out = std::fopen(output, "w");
  if (out == nullptr) return fail(std::string("cannot write ") + output);
  const bool written =
      std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fclose(out) != 0 || !written)
    return fail(std::string("cannot write ") + output);
  return 0;
}

}  // namespace
}  // namespace ipwhere

int main(int argc, char* argv[]) {
  if (argc != 2) {
    static_cast<void>(
        std::fputs("usage: filter_compiler OUTPUT.cpp\n", stderr));
    return 2;
  }
  return ipwhere::compile(argv[1]);
}
