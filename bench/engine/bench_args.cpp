#include "bench_args.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

void usage(const char* program, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    std::exit(2);
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) out.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::size_t parse_size(const char* program, const std::string& s) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || v < 2 || v > 1e9) usage(program, "bad size '" + s + "'");
    return static_cast<std::size_t>(v);
}

KeyShape parse_shape(const char* program, const std::string& s) {
    for (KeyShape k : {KeyShape::random, KeyShape::dense, KeyShape::clustered})
        if (s == shape_name(k)) return k;
    usage(program, "unknown shape '" + s + "'");
}

int run_benchmarks(std::vector<char*> rest) {
    int argc = static_cast<int>(rest.size());
    benchmark::Initialize(&argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(argc, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench
