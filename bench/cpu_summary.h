// Collects the CPU time of every repetition of each benchmark as it is
// reported, so a benchmark program can print its own comparisons (a ratio of
// two benchmarks, a cost per VM) with the spread of the repetitions.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

// CPU time of each repetition, in the benchmark's own time unit.
class CpuSummary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.benchmark_name()].push_back(run.GetAdjustedCPUTime());
    }

    struct Spread {
        double median = 0.0;
        double low = 0.0;
        double high = 0.0;
        bool valid = false;
    };

    Spread spread(const std::string& name) const
    {
        const auto it = times_.find(name);
        if (it == times_.end() || it->second.empty())
            return {};
        std::vector<double> t = it->second;
        std::sort(t.begin(), t.end());
        const size_t n = t.size();
        const double median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
        return {median, t.front(), t.back(), true};
    }

private:
    std::map<std::string, std::vector<double>> times_;
};
