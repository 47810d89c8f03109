// Accuracy on the 3,003 series of the M3 competition: each options document runs as one
// GROUP BY over the training parts, its forecasts are scored against the held-out parts, and
// the table puts them next to the competition's own submitted forecasts, scored the same way.
//   sMAPE: mean over the h steps of 200 |a - f| / (|a| + |f|), averaged over the series.
//   MASE: mean |a - f| over the in-sample mean absolute difference at the seasonal lag (lag 1
//   for yearly and other series), averaged over the series.
//   Coverage: share of held-out values inside the 95 % bounds, averaged over the series.
// Yearly, quarterly and monthly series carry their dates; "other" series have none, so their
// points are one second apart (no calendar unit).
// A second table scores the same documents on generated series whose processes are known and
// have nothing to do with M3 (same columns: damped trends, yearly; additive seasons on a random
// walk, quarterly; multiplicative seasons with trend, monthly; multiplicative weekly seasons,
// daily), so that accuracy there is checked as well.
// Usage: bench_m3_accuracy [data dir] [options document ...]
#include "bench_util.h"
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>

namespace {

struct M3Series {
  std::string sn, category;
  int freq = 1, h = 0;
  std::vector<std::string> dates;
  std::vector<double> train, test;
};

const char *const CATEGORIES[] = {"YEARLY", "QUARTERLY", "MONTHLY", "OTHER"};

// "YYYY-MM-DD" of a day number since 1970-01-01 (the proleptic Gregorian calendar).
std::string civil(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", (int)(yoe + era * 400 + (m <= 2)), (int)m, (int)d);
  return buf;
}

// The t-th time stamp of a generated series: years, quarters, months from 1990, or days.
std::string date_of(int kind, int t) {
  if (kind == 3) return civil(18000 + t);
  const int months = kind == 0 ? 12 * t : kind == 1 ? 3 * t : t;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-01", 1990 + months / 12, months % 12 + 1);
  return buf;
}

// Series from known processes, 200 of each kind, in the four columns of the M3 table.
std::vector<M3Series> synthetic() {
  std::vector<M3Series> out;
  bench::Rng rng{20261208};
  for (int kind = 0; kind < 4; kind++) {
    for (int id = 0; id < 200; id++) {
      M3Series s;
      s.sn = "S" + std::to_string(kind) + "_" + std::to_string(id);
      s.category = CATEGORIES[kind];
      const int h = kind == 0 ? 6 : kind == 1 ? 8 : kind == 2 ? 18 : 14;
      const int n = kind == 0 ? 20 + id % 21 : kind == 1 ? 24 + id % 25 : kind == 2 ? 60 + id % 61 : 84 + id % 57;
      s.h = h;
      s.freq = kind == 0 ? 1 : kind == 1 ? 4 : kind == 2 ? 12 : 7;
      double l = 100 + 100 * rng.uniform(), b = kind == 0 ? 2 + 4 * rng.uniform() : 0.5 * rng.uniform();
      const double phi = 0.85 + 0.1 * rng.uniform(), phase = 6 * rng.uniform();
      for (int t = 0; t < n + h; t++) {
        double y;
        if (kind == 0) { // additive errors, damped trend
          const double e = 3 * rng.normal();
          y = l + phi * b + e;
          l = l + phi * b + 0.5 * e;
          b = phi * b + 0.1 * e;
        } else if (kind == 1) { // random-walk level plus a fixed additive season
          const double e = 3 * rng.normal();
          y = l + 15 * std::sin(2 * M_PI * (t + phase) / 4) + e;
          l = l + 0.3 * e;
        } else { // multiplicative errors and seasons, with a slow trend
          const int m = kind == 2 ? 12 : 7;
          const double season = 1 + (kind == 2 ? 0.3 * std::sin(2 * M_PI * (t + phase) / m) : 0.5 * (t % 7 >= 5));
          const double e = 0.04 * rng.normal();
          y = (l + b) * season * (1 + e);
          l = (l + b) * (1 + 0.3 * e);
          b = b + 0.02 * (l + b) * e;
        }
        if (t < n) {
          s.train.push_back(y);
          s.dates.push_back(date_of(kind, t));
        } else {
          s.test.push_back(y);
        }
      }
      out.push_back(s);
    }
  }
  return out;
}

// Splits one CSV line; fields may be quoted (none of this data holds a quote or comma inside).
std::vector<std::string> split(const std::string &line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == ',')
      out.emplace_back();
    else if (c != '"' && c != '\r' && c != '\n')
      out.back() += c;
  }
  return out;
}

bool read_gz_lines(const std::string &path, const std::function<void(const std::vector<std::string> &)> &row) {
  std::string cmd = "gzip -dc '" + path + "'";
  FILE *f = popen(cmd.c_str(), "r");
  if (!f) return false;
  char buf[512];
  bool header = true;
  while (std::fgets(buf, sizeof buf, f)) {
    if (header) {
      header = false;
      continue;
    }
    row(split(buf));
  }
  return pclose(f) == 0;
}

struct Score {
  double smape = 0, mase = 0, coverage = 0;
  bool has_bounds = false;
};

Score score(const M3Series &s, const double *f, const double *lo, const double *hi) {
  Score r;
  double abs_sum = 0;
  int inside = 0;
  for (int k = 0; k < s.h; k++) {
    double a = s.test[k], e = std::fabs(a - f[k]);
    double den = std::fabs(a) + std::fabs(f[k]);
    r.smape += den > 0 ? 200 * e / den : 0;
    abs_sum += e;
    if (lo && hi && lo[k] <= a && a <= hi[k]) inside++;
  }
  r.smape /= s.h;
  const int lag = s.freq > 1 ? s.freq : 1;
  double scale = 0;
  const int n = (int)s.train.size();
  for (int t = lag; t < n; t++)
    scale += std::fabs(s.train[t] - s.train[t - lag]);
  scale /= (n - lag);
  r.mase = (abs_sum / s.h) / scale;
  r.coverage = (double)inside / s.h;
  r.has_bounds = lo && hi;
  return r;
}

struct Table {
  double smape[4] = {0, 0, 0, 0};
  int count[4] = {0, 0, 0, 0};
  double smape_all = 0, mase_all = 0, coverage = 0;
  int n = 0;
  void add(int cat, const Score &s) {
    smape[cat] += s.smape;
    count[cat]++;
    smape_all += s.smape;
    mase_all += s.mase;
    coverage += s.coverage;
    n++;
  }
};

int category_index(const std::string &c) {
  for (int i = 0; i < 4; i++)
    if (c == CATEGORIES[i]) return i;
  return 3;
}

void print_row(const char *name, const Table &t, bool coverage, double seconds) {
  std::printf("| %-44s |", name);
  for (int c = 0; c < 4; c++)
    std::printf(" %6.2f |", t.count[c] ? t.smape[c] / t.count[c] : 0.0);
  std::printf(" %6.2f | %5.3f |", t.smape_all / t.n, t.mase_all / t.n);
  if (coverage)
    std::printf(" %5.1f |", 100 * t.coverage / t.n);
  else
    std::printf("   -   |");
  if (seconds >= 0)
    std::printf(" %6.2f |\n", seconds);
  else
    std::printf("    -   |\n");
}

void load_table(sqlite3 *db, const std::vector<M3Series> &all, const std::string &table) {
  bench::check(sqlite3_exec(db, ("CREATE TABLE " + table + "(sn TEXT, h INTEGER, ts, v REAL); BEGIN").c_str(), 0, 0, 0),
               db, "create");
  sqlite3_stmt *ins = nullptr;
  bench::check(sqlite3_prepare_v2(db, ("INSERT INTO " + table + " VALUES (?, ?, ?, ?)").c_str(), -1, &ins, nullptr), db,
               "prepare");
  for (const M3Series &s : all) {
    for (size_t t = 0; t < s.train.size(); t++) {
      sqlite3_bind_text(ins, 1, s.sn.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(ins, 2, s.h);
      if (s.dates[t].empty())
        sqlite3_bind_int64(ins, 3, (int64_t)t);
      else
        sqlite3_bind_text(ins, 3, s.dates[t].c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_double(ins, 4, s.train[t]);
      bench::check(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    }
  }
  sqlite3_finalize(ins);
  bench::check(sqlite3_exec(db, "COMMIT", 0, 0, 0), db, "commit");
}

// Runs one options document over every series; prints its row and the models it chose.
void run_options(sqlite3 *db, const std::vector<M3Series> &all, const std::map<std::string, int> &index,
                 const std::string &table, const char *options) {
  std::string sql = "SELECT sn, forecast(ts, v, h, '" + std::string(options) + "') FROM " + table + " GROUP BY sn";
  sqlite3_stmt *st = nullptr;
  bench::check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, "prepare forecast");
  std::vector<std::pair<std::string, std::string>> docs;
  double t0 = bench::cpu_seconds();
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    docs.emplace_back((const char *)sqlite3_column_text(st, 0), (const char *)sqlite3_column_text(st, 1));
  double seconds = bench::cpu_seconds() - t0;
  bench::check(rc, db, "forecast");
  sqlite3_finalize(st);

  sqlite3_stmt *rows = nullptr;
  bench::check(sqlite3_prepare_v2(db,
                                  "SELECT forecast, lower_bound, upper_bound, "
                                  "(SELECT json_extract(?1, '$.model')) FROM forecast_rows(?1)",
                                  -1, &rows, nullptr),
               db, "prepare rows");
  Table scores;
  std::map<std::string, int> chosen;
  for (auto &[sn, doc] : docs) {
    const M3Series &s = all[index.at(sn)];
    sqlite3_bind_text(rows, 1, doc.c_str(), -1, SQLITE_STATIC);
    std::vector<double> f, lo, hi;
    std::string model;
    bool bounds = true;
    while (sqlite3_step(rows) == SQLITE_ROW) {
      f.push_back(sqlite3_column_double(rows, 0));
      bounds = bounds && sqlite3_column_type(rows, 1) != SQLITE_NULL && sqlite3_column_type(rows, 2) != SQLITE_NULL;
      lo.push_back(sqlite3_column_double(rows, 1));
      hi.push_back(sqlite3_column_double(rows, 2));
      model = (const char *)sqlite3_column_text(rows, 3);
    }
    sqlite3_reset(rows);
    if ((int)f.size() != s.h) {
      std::fprintf(stderr, "%s: %zu rows for %s\n", options, f.size(), sn.c_str());
      std::exit(1);
    }
    chosen[model]++;
    scores.add(category_index(s.category),
               score(s, f.data(), bounds ? lo.data() : nullptr, bounds ? hi.data() : nullptr));
  }
  sqlite3_finalize(rows);
  print_row(options, scores, true, seconds);
  std::string picks;
  for (auto &[m, c] : chosen)
    picks += " " + m + " " + std::to_string(c) + ";";
  std::printf("|   chosen:%s\n", picks.c_str());
}

} // namespace

int main(int argc, char **argv) {
  // The data sit beside the checkout (../shared), or beside the folder of worktrees.
  std::string dir = argc > 1 ? argv[1] : VORNEL_M3_DIR;
  if (argc <= 1 && access((dir + "/m3_series.csv.gz").c_str(), R_OK) != 0) dir = VORNEL_M3_DIR_WORKTREE;
  std::vector<M3Series> all;
  std::map<std::string, int> index;
  bool ok = read_gz_lines(dir + "/m3_series.csv.gz", [&](const std::vector<std::string> &f) {
    if (f.size() < 9) return;
    auto it = index.find(f[0]);
    if (it == index.end()) {
      it = index.emplace(f[0], (int)all.size()).first;
      all.emplace_back();
      all.back().sn = f[0];
      all.back().category = f[2];
      all.back().freq = std::atoi(f[3].c_str());
      all.back().h = std::atoi(f[4].c_str());
    }
    M3Series &s = all[it->second];
    if (f[5] == "train") {
      s.train.push_back(std::strtod(f[8].c_str(), nullptr));
      s.dates.push_back(f[7]);
    } else {
      s.test.push_back(std::strtod(f[8].c_str(), nullptr));
    }
  });
  if (!ok || all.empty()) {
    std::fprintf(stderr, "cannot read %s/m3_series.csv.gz\n", dir.c_str());
    return 1;
  }
  // The competition's methods, from their submitted forecasts.
  std::map<std::string, std::map<std::string, std::vector<double>>> submitted;
  read_gz_lines(dir + "/m3_competition_forecasts.csv.gz", [&](const std::vector<std::string> &f) {
    if (f.size() < 4) return;
    std::vector<double> &v = submitted[f[0]][f[1]];
    size_t step = (size_t)std::atoi(f[2].c_str());
    if (v.size() < step) v.resize(step);
    v[step - 1] = std::strtod(f[3].c_str(), nullptr);
  });

  std::printf("M3: %zu series. sMAPE by category, overall sMAPE and MASE, mean 95 %% coverage, CPU seconds of the "
              "GROUP BY\n",
              all.size());
  std::printf("| %-44s | yearly | quart. | monthly|  other |    all |  MASE | cover |  cpu s |\n", "method");
  for (auto &[method, per_series] : submitted) {
    Table t;
    bool complete = true;
    for (const M3Series &s : all) {
      auto it = per_series.find(s.sn);
      if (it == per_series.end() || (int)it->second.size() < s.h) {
        complete = false;
        continue;
      }
      t.add(category_index(s.category), score(s, it->second.data(), nullptr, nullptr));
    }
    if (complete) print_row(method.c_str(), t, false, -1);
  }

  sqlite3 *db = bench::open_loaded();
  if (!db) return 1;
  std::vector<const char *> documents;
  for (int i = 2; i < argc; i++)
    documents.push_back(argv[i]);
  // ets and theta-m3 alone show where auto-extended's time goes: ets's fits on the whole series
  // are the largest part of it.
  if (documents.empty())
    documents = {"{\"model\":\"auto\"}", "{\"model\":\"ets\"}", "{\"model\":\"theta-m3\"}",
                 "{\"model\":\"auto-extended\"}"};
  load_table(db, all, "m3");
  for (const char *doc : documents)
    run_options(db, all, index, "m3", doc);

  std::vector<M3Series> gen = synthetic();
  std::map<std::string, int> gen_index;
  for (size_t i = 0; i < gen.size(); i++)
    gen_index[gen[i].sn] = (int)i;
  std::printf("\nGenerated series, 200 of each: damped trend (yearly, h 6) | additive season on a random walk "
              "(quarterly, h 8) | multiplicative season and trend (monthly, h 18) | multiplicative weekly season "
              "(daily, h 14)\n");
  load_table(db, gen, "gen");
  for (const char *doc : documents)
    run_options(db, gen, gen_index, "gen", doc);
  sqlite3_close(db);
  return 0;
}
