// df_simulate: randomized runs of the service on the simulated machine.
//
//   df_simulate --seed N [--story]      one run; --story prints every step, line and action
//   df_simulate [--start N] [--seeds COUNT] [--budget SECONDS]
//                                       runs seeds N, N+1, ... until COUNT runs or the budget
//                                       of real time is spent; prints the figures
//
// Exit status 1 when any run broke an invariant, 2 on bad arguments.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "simulation/simulation.h"

namespace {

bool number(const char* text, std::uint64_t& out) {
  char* end = nullptr;
  out = std::strtoull(text, &end, 0);
  return end != text && *end == '\0';
}

int usage() {
  std::fputs(
      "usage: df_simulate --seed N [--story]\n"
      "       df_simulate [--start N] [--seeds COUNT] [--budget SECONDS]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t seed = 0, start = 1, seeds = 0, budget = 0;
  bool one = false, story = false;
  for (int i = 1; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (std::strcmp(argv[i], "--seed") == 0 && more && number(argv[i + 1], seed)) {
      one = true;
      ++i;
    } else if (std::strcmp(argv[i], "--story") == 0) {
      story = true;
    } else if (std::strcmp(argv[i], "--start") == 0 && more && number(argv[i + 1], start)) {
      ++i;
    } else if (std::strcmp(argv[i], "--seeds") == 0 && more && number(argv[i + 1], seeds)) {
      ++i;
    } else if (std::strcmp(argv[i], "--budget") == 0 && more && number(argv[i + 1], budget)) {
      ++i;
    } else {
      return usage();
    }
  }

  if (one) {
    df::trust::Options options;
    options.seed = seed;
    options.keepLog = story;
    const df::trust::Outcome o = df::trust::simulate(options);
    if (story) std::fputs(o.story.c_str(), stdout);
    std::printf(
        "seed %llu: %.2f simulated hours, %llu inspections, %llu transactions, "
        "%llu faults, %zu violations\n",
        static_cast<unsigned long long>(o.seed),
        std::chrono::duration<double>(o.simulated).count() / 3600.0,
        static_cast<unsigned long long>(o.inspections),
        static_cast<unsigned long long>(o.transactions), static_cast<unsigned long long>(o.faults),
        o.violations.size());
    if (o.violations.empty()) return 0;
    std::fputs(df::trust::describeFailure(o, argv[0]).c_str(), stderr);
    return 1;
  }

  if (seeds == 0 && budget == 0) seeds = 100;
  const auto began = std::chrono::steady_clock::now();
  const auto deadline = began + std::chrono::seconds(budget);
  std::uint64_t run = 0, failed = 0, violations = 0, inspections = 0, transactions = 0,
                switches = 0, faults = 0, commands = 0, events = 0, reports = 0, judged = 0,
                longest = 0;
  double hours = 0;
  // Violations by kind: the message without its time and numbers.
  std::map<std::string, std::uint64_t> kinds;
  auto kind = [](const std::string& v) {
    std::string k = v.substr(v.find(": ") == std::string::npos ? 0 : v.find(": ") + 2);
    if (k.size() > 90) k = k.substr(0, 90);
    std::string out;
    for (char c : k) {
      if (c >= '0' && c <= '9') {
        if (out.empty() || out.back() != '#') out += '#';
      } else {
        out += c;
      }
    }
    return out;
  };
  for (std::uint64_t s = start;; ++s) {
    if (seeds != 0 && run >= seeds) break;
    if (budget != 0 && std::chrono::steady_clock::now() >= deadline) break;
    df::trust::Options options;
    options.seed = s;
    const df::trust::Outcome o = df::trust::simulate(options);
    ++run;
    hours += std::chrono::duration<double>(o.simulated).count() / 3600.0;
    inspections += o.inspections;
    transactions += o.transactions;
    switches += o.switches;
    faults += o.faults;
    commands += o.commands;
    events += o.events;
    reports += o.reports;
    judged += o.exitChecked ? 1 : 0;
    longest = std::max(longest, o.longestVerification);
    if (!o.violations.empty()) {
      violations += o.violations.size();
      for (const std::string& v : o.violations) ++kinds[kind(v)];
      if (++failed <= 5) std::fputs(df::trust::describeFailure(o, argv[0]).c_str(), stderr);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("seeds run:            %llu (from %llu, %.1f s)\n", u(run), u(start), seconds);
  std::printf("simulated hours:      %.1f\n", hours);
  std::printf("commands:             %llu (and %llu platform changes)\n", u(commands), u(events));
  std::printf("inspections:          %llu (%llu report lines)\n", u(inspections), u(reports));
  std::printf("transactions:         %llu (and %llu connection switches)\n", u(transactions),
              u(switches));
  std::printf("faults injected:      %llu\n", u(faults));
  std::printf("exits judged:         %llu\n", u(judged));
  std::printf("longest verification: %llu readings\n", u(longest));
  std::printf("invariant violations: %llu (in %llu seeds)\n", u(violations), u(failed));
  for (const auto& [k, n] : kinds) std::printf("  %6llu x %s\n", u(n), k.c_str());
  return failed == 0 ? 0 : 1;
}
