#pragma once
// The command line of the engine benchmark programs: each reads its own
// flags (sizes, key shapes) with these helpers and hands every other
// argument on to Google Benchmark.

#include <cstddef>
#include <string>
#include <vector>

#include "key_sets.hpp"

namespace bench {

// Prints "<program>: <why>" and exits with status 2.
[[noreturn]] void usage(const char* program, const std::string& why);

// The items of a comma-separated list; empty items are dropped.
std::vector<std::string> split(const std::string& list);

// A key count from 2 to 1e9 (written as a number such as 1000 or 1e6).
std::size_t parse_size(const char* program, const std::string& s);

KeyShape parse_shape(const char* program, const std::string& s);

// Runs the registered benchmarks; `rest` holds the program name and the
// arguments the program did not take. The program's exit status.
int run_benchmarks(std::vector<char*> rest);

}  // namespace bench
