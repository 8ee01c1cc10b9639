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

int compile(const char* output) {
  const std::vector<CallEntry> table = syscall_table();
  const std::vector<std::string> faults = table_faults(table);
  for (const std::string& fault : faults) fail(fault);
  if (!faults.empty()) return 1;

  Filter allow_list(kDefaultActionStandIn);
  Filter refusals(SCMP_ACT_ALLOW);
  std::vector<std::pair<const char*, int>> refused_by_name;
  for (const CallEntry& entry : table) {
    // Not a call of this architecture (libseccomp numbers those below 0).
    const int number = call_number(entry.call);
    if (number < 0) continue;
    for (const Clause& clause : entry.clauses) {
      std::uint32_t action = 0;
      Filter& filter =
          clause.verdict == Verdict::kNarrow ? refusals : allow_list;
      if (!action_of(clause, action) ||
          !filter.add(number, action, clause.when))
        return fail(std::string(entry.call) + ": a clause libseccomp refuses");
      if (clause.verdict == Verdict::kRefuse && holds_always(clause) &&
          clause.error == EPERM)
        refused_by_name.emplace_back(entry.call, number);
    }
  }
  const std::vector<BpfInstruction> allowing = allow_list.program();
  const std::vector<BpfInstruction> refusing = refusals.program();
  if (allowing.empty() || refusing.empty())
    return fail("libseccomp made no program");
  // The stand-ins must stand where the run looks for them.
  bool stand_ins = uses(refusing, kPidStandIn);
  for (std::uint32_t slot = 0; slot < kTerminalSlots; ++slot) {
    stand_ins = stand_ins && uses(refusing, kTerminalStandIn + slot) &&
                uses(allowing, kTerminalStandIn + slot);
  }
  if (!stand_ins) return fail("a stand-in is missing from the programs");

  std::string text =
      "// Made by filter_compiler from syscall_table.cpp when the tool was "
      "built.\n#include <iterator>\n\n#include \"syscall_program.hpp\"\n\n"
      "namespace ipwhere {\nnamespace {\n\n";
  text += program_source("kAllowList", allowing);
  text += program_source("kRefusals", refusing);
  text += "const RefusedCall kRefusedByName[] = {\n";
  for (const auto& [name, number] : refused_by_name)
    text += "    {\"" + std::string(name) + "\", " + std::to_string(number) +
            "},\n";
  text +=
      "};\n\n}  // namespace\n\n"
      "BpfProgram allow_list_program() noexcept {\n"
      "  return {kAllowList, std::size(kAllowList)};\n}\n\n"
      "BpfProgram refusals_program() noexcept {\n"
      "  return {kRefusals, std::size(kRefusals)};\n}\n\n"
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
