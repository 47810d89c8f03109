// Runs every example of docs/*.md and compares its shown output, so the docs cannot go stale.
// A ```sql block followed by a ```output block is an example; a ```sql block alone is setup.
// Each page runs top to bottom in one fresh connection.
#include "backtest/backtest.h"
#include "distill/distill.h"
#include "fstudent/fstudent.h"
#include "support/harness.h"
#include "tabular/tabular.h"
#include <filesystem>
#include <fstream>

namespace {

struct Block {
  std::string tag;
  std::string body;
  int line; // first line of the body in the page
};

std::vector<Block> read_blocks(const std::string &path) {
  std::ifstream in(path);
  std::vector<Block> blocks;
  std::string line;
  int n = 0;
  Block *open = nullptr;
  while (std::getline(in, line)) {
    n++;
    if (line.rfind("```", 0) == 0) {
      if (open) {
        open = nullptr;
      } else {
        blocks.push_back({line.substr(3), "", n + 1});
        open = &blocks.back();
      }
    } else if (open) {
      open->body += line + "\n";
    }
  }
  return blocks;
}

std::string trim_end(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
    s.pop_back();
  return s;
}

std::vector<std::string> pages() {
  std::vector<std::string> out;
  for (auto &e : std::filesystem::directory_iterator(std::string(VORNEL_SOURCE_DIR) + "/docs"))
    if (e.path().extension() == ".md") out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

} // namespace

TEST(Docs, EveryExampleRunsAndMatches) {
  int examples = 0;
  for (const std::string &page : pages()) {
    SCOPED_TRACE(page);
    std::vector<Block> blocks = read_blocks(page);
    vt::Db db;
    for (size_t i = 0; i < blocks.size(); i++) {
      if (blocks[i].tag != "sql") continue;
      bool example = i + 1 < blocks.size() && blocks[i + 1].tag == "output";
      vt::Result r = db.run(blocks[i].body);
      if (!example) {
        EXPECT_TRUE(r.ok) << page << ":" << blocks[i].line << ": setup failed: " << r.error;
        continue;
      }
      examples++;
      EXPECT_EQ(trim_end(r.text()), trim_end(blocks[i + 1].body))
          << page << ":" << blocks[i].line << ": example output differs";
    }
  }
  EXPECT_GT(examples, 0);
}

// Every SQL function and module that loading registers has a reference section in docs/: a
// heading that names it, such as "## `forecast(ts, value, horizon[, options])`".
TEST(Docs, EveryRegisteredFunctionIsDocumented) {
  std::string headings;
  for (const std::string &page : pages()) {
    std::ifstream in(page);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("#", 0) == 0) headings += line + "\n";
  }
  std::vector<std::string> names = vt::added_by_extension("SELECT DISTINCT name FROM pragma_function_list");
  for (const std::string &m : vt::added_by_extension("SELECT name FROM pragma_module_list"))
    names.push_back(m);
  EXPECT_FALSE(names.empty());
  auto word = [](char c) { return isalnum((unsigned char)c) || c == '_'; };
  for (const std::string &name : names) {
    bool found = false;
    for (size_t at = headings.find(name); at != std::string::npos && !found; at = headings.find(name, at + 1))
      found = !word(headings[at - 1]) && !word(headings[at + name.size()]);
    EXPECT_TRUE(found) << "no docs heading names " << name;
  }
}

// Every option a function's table declares has a row "| `key` |" on the function's page.
TEST(Docs, EveryOptionHasARowOnItsPage) {
  const struct {
    const OptionTable *table;
    const char *page;
  } cases[] = {{&FORECAST_OPTIONS, "forecast.md"}, {&ANOMALY_OPTIONS, "anomaly.md"},
               {&BACKTEST_OPTIONS, "backtest.md"}, {&VORNEL_OPTIONS, "tabular.md"},
               {&DIST_OPTIONS, "distill.md"},      {&FCST_DIST_OPTIONS, "fstudent.md"}};
  for (const auto &c : cases) {
    std::ifstream in(std::string(VORNEL_SOURCE_DIR) + "/docs/" + c.page);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    for (int i = 0; i < c.table->count; i++) {
      const std::string row = std::string("| `") + c.table->fields[i].key + "` |";
      EXPECT_NE(text.find(row), std::string::npos) << c.table->function << ": " << row << " in " << c.page;
    }
  }
}
