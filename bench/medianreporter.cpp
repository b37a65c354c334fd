#include "medianreporter.h"

namespace {
constexpr char kMedianAggregate[] = "median";
constexpr double kNoMedian = -1.0;
} // namespace

void MedianReporter::ReportRuns(const std::vector<Run>& reports)
{
    for (const Run& run : reports) {
        if (run.run_type == Run::RT_Aggregate && run.aggregate_name == kMedianAggregate && !run.error_occurred) {
            m_medianSeconds[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
    ConsoleReporter::ReportRuns(reports);
}

double MedianReporter::medianSeconds(const std::string& name) const
{
    const auto it = m_medianSeconds.find(name);
    return it == m_medianSeconds.end() ? kNoMedian : it->second;
}
