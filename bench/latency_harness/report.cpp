#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace qzbench {

namespace {

struct Row {
  std::string figure;
  double ours;
  double base;
  std::string unit;
  std::string target;
  int met;  // 1 yes, 0 no, -1 no target
};

std::vector<Row> g_rows;
std::string g_outDir;
bool g_failed = false;

std::string Number(double v) {
  char buf[32];
  if (std::isnan(v)) return "n/a";
  if (std::fabs(v) >= 100) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    std::snprintf(buf, sizeof buf, "%.3g", v);
  }
  return buf;
}

}  // namespace

void SetOutDir(const std::string& dir) { g_outDir = dir; }

void Fail(const char* what) {
  std::fprintf(stderr, "latency_harness: %s\n", what);
  g_failed = true;
}

bool Failed() { return g_failed; }

void WriteSeries(const std::string& name, std::vector<double> v) {
  if (g_outDir.empty() || v.empty()) return;
  std::sort(v.begin(), v.end());
  std::ofstream f(g_outDir + "/" + name + ".dat");
  for (size_t i = 0; i < v.size(); ++i) f << v[i] << ' ' << static_cast<double>(i + 1) / v.size() << '\n';
}

void RatioRow(const std::string& figure, double ours, double base, const std::string& unit, double maxRatio,
              bool higherIsBetter) {
  char target[64];
  std::snprintf(target, sizeof target, higherIsBetter ? ">= %.2gx" : "<= %.2gx", maxRatio);
  const double r = ours / base;
  const int met = higherIsBetter ? (r >= maxRatio) : (r <= maxRatio);
  g_rows.push_back({figure, ours, base, unit, target, met});
}

void AbsoluteRow(const std::string& figure, double ours, double base, const std::string& unit,
                 const std::string& target, double bound, bool complete) {
  g_rows.push_back({figure, ours, base, unit, target, complete && ours <= bound ? 1 : 0});
}

void ReportRow(const std::string& figure, double ours, double base, const std::string& unit) {
  g_rows.push_back({figure, ours, base, unit, "report", -1});
}

void PrintTable() {
  std::string t = "| figure | ours | baseline | ratio | target | met |\n|---|---|---|---|---|---|\n";
  for (const Row& r : g_rows) {
    t += "| " + r.figure + " | " + Number(r.ours) + " " + r.unit + " | " + Number(r.base) + " " + r.unit + " | " +
         Number(r.ours / r.base) + " | " + r.target + " | " +
         (r.met < 0 ? std::string("-") : r.met ? std::string("yes") : std::string("**no**")) + " |\n";
  }
  std::fputs(t.c_str(), stdout);
  if (!g_outDir.empty()) std::ofstream(g_outDir + "/table.md") << t;
}

}  // namespace qzbench
