// Feeds arbitrary batches to the statement splitter: it must never crash, every
// statement it gives must hold something besides blanks, no longer than the batch, and
// splitting a statement again must give back just that statement (it holds no separator
// and no comment any more).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/OdbcStatementSplitter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string batch(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> statements = varnel::SplitOdbcStatements(batch);
  std::size_t total = 0;
  for (const std::string& statement : statements) {
    if (statement.find_first_not_of(" \t\r\n\f") == std::string::npos) __builtin_trap();
    total += statement.size();
    std::vector<std::string> again = varnel::SplitOdbcStatements(statement);
    if (again.size() != 1 || again[0] != statement) __builtin_trap();
  }
  // A comment becomes one blank, never more than it took.
  if (total > batch.size()) __builtin_trap();
  return 0;
}
