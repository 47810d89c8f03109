#include "support/harness.h"
#include <algorithm>

namespace vt {

std::vector<std::string> added_by_extension(const std::string &sql) {
  Db bare(":memory:", false), loaded;
  bare.warm("SELECT * FROM json_each('{}')"); // the host registers json_each on first use
  Result before = bare.run(sql), after = loaded.run(sql);
  EXPECT_TRUE(before.ok && after.ok) << before.error << after.error;
  std::sort(before.rows.begin(), before.rows.end());
  std::sort(after.rows.begin(), after.rows.end());
  std::vector<std::string> added;
  std::set_difference(after.rows.begin(), after.rows.end(), before.rows.begin(), before.rows.end(),
                      std::back_inserter(added));
  return added;
}

} // namespace vt
