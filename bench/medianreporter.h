#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Console reporter that also keeps the median real time of every benchmark
// run with repetitions, so that a program can relate benchmarks measured in
// the same run to each other.
class MedianReporter : public benchmark::ConsoleReporter
{
public:
    explicit MedianReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& reports) override;

    // Median real time per iteration in seconds, or a negative value when the
    // benchmark has no median (not run, failed, or run without repetitions).
    double medianSeconds(const std::string& name) const;

private:
    std::map<std::string, double> m_medianSeconds; // by benchmark name
};
