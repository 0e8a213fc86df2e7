// A display reporter that also keeps the counters of every finished run, so that a benchmark's
// main can print ratios between benchmarks of the same process after RunSpecifiedBenchmarks.
// Used on the benchmark runner's thread only.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::bench {

class CollectingReporter : public benchmark::BenchmarkReporter {
public:
    // Shows runs in the format asked for with --benchmark_format (console or json): once a
    // reporter of our own is given, the library no longer reads that flag itself. Construct it
    // from main's arguments before benchmark::Initialize, which removes the flags it knows.
    CollectingReporter(int argc, char** argv) {
        std::string_view format = "console";
        for (int i = 1; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg.rfind("--benchmark_format=", 0) == 0) format = arg.substr(19);
        }
        if (format == "json") {
            inner_ = std::make_unique<benchmark::JSONReporter>();
        } else {
            console_ = true;
            const auto color = isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color
                                                     : benchmark::ConsoleReporter::OO_None;
            inner_ = std::make_unique<benchmark::ConsoleReporter>(
                static_cast<benchmark::ConsoleReporter::OutputOptions>(
                    benchmark::ConsoleReporter::OO_Tabular | color));
        }
    }

    bool ReportContext(const Context& context) override { return inner_->ReportContext(context); }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            for (const auto& [name, counter] : run.counters)
                values_[run.run_name.function_name][name].push_back(counter.value);
        }
        inner_->ReportRuns(runs);
    }
    void Finalize() override { inner_->Finalize(); }

    // Where a summary goes: stdout beside the console table, stderr when stdout carries json
    // that a program reads.
    std::FILE* summary_stream() const { return console_ ? stdout : stderr; }

    // The median over repetitions of one counter (items_per_second included) of the benchmark
    // registered under `function_name`; nothing when it did not run or failed.
    std::optional<double> median(const std::string& function_name, const std::string& counter) const {
        const auto b = values_.find(function_name);
        if (b == values_.end()) return std::nullopt;
        const auto c = b->second.find(counter);
        if (c == b->second.end() || c->second.empty()) return std::nullopt;
        auto v = c->second;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    }

private:
    std::unique_ptr<benchmark::BenchmarkReporter> inner_;
    bool console_ = false;
    std::map<std::string, std::map<std::string, std::vector<double>>> values_;
};

// Prints "label: a/b = ratio" or says which side is missing; with `target`, also the least
// ratio aimed at and whether this run reached it.
inline void print_ratio(std::FILE* out, const char* label, std::optional<double> a, std::optional<double> b,
                        std::optional<double> target = std::nullopt) {
    const bool known = a && b && *b != 0.0;
    if (known) {
        std::fprintf(out, "  %-44s %8.3f", label, *a / *b);
    } else {
        std::fprintf(out, "  %-44s %8s", label, "n/a");
    }
    if (target)
        std::fprintf(out, "   target >= %.2f%s", *target,
                     known ? (*a / *b >= *target ? "  met" : "  missed") : "");
    std::fprintf(out, "\n");
}

// Reads the benchmark flags and runs the chosen benchmarks through `reporter` (built from the
// same arguments first, before the flags are taken out); false for an unknown argument.
inline bool run_benchmarks(CollectingReporter& reporter, int& argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return true;
}

}  // namespace tyx::bench
