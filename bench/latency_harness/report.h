// The harness's results: one row a figure (figure, ours, baseline, ratio,
// target, met), printed as a Markdown table at the end; the sorted samples of
// each latency for plotting; and the failures that stop a measurement.
#pragma once

#include <string>
#include <vector>

namespace qzbench {

// Where table.md and DIR/<series>.dat go; empty (the default): nowhere, the
// table is only printed.
void SetOutDir(const std::string& dir);

// A measurement that could not finish: said on stderr; the harness then
// skips the measurements still to come and exits with 1.
void Fail(const char* what);
bool Failed();

// The samples sorted, each with the fraction of samples up to it, as
// <out dir>/<name>.dat.
void WriteSeries(const std::string& name, std::vector<double> v);

// A row whose target bounds ours / base: at most maxRatio, or at least it
// when higherIsBetter.
void RatioRow(const std::string& figure, double ours, double base, const std::string& unit, double maxRatio,
              bool higherIsBetter = false);
// A row whose target bounds ours itself (target says how, in words). Not met
// when ours exceeds bound, nor when complete is false (samples are missing).
void AbsoluteRow(const std::string& figure, double ours, double base, const std::string& unit,
                 const std::string& target, double bound, bool complete = true);
// A row without a target.
void ReportRow(const std::string& figure, double ours, double base, const std::string& unit);

// Prints the table, and writes it to <out dir>/table.md.
void PrintTable();

}  // namespace qzbench
