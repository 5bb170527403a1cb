#include "platform/OdbcStatementSplitter.h"

namespace varnel {

std::vector<std::string> SplitOdbcStatements(const std::string& batch) {
  std::vector<std::string> statements;
  std::string current;
  bool content = false;
  std::size_t i = 0;
  auto finish = [&] {
    if (content) statements.push_back(current);
    current.clear();
    content = false;
  };
  while (i < batch.size()) {
    char c = batch[i];
    if (c == ';') {
      finish();
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      char close = c == '[' ? ']' : c;
      while (end < batch.size()) {
        if (batch[end] == close) {
          // A doubled quote stands for itself inside the quotes.
          if (close != ']' && end + 1 < batch.size() && batch[end + 1] == close) {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
      content = true;
    } else if ((c == '-' && i + 1 < batch.size() && batch[i + 1] == '-') ||
               (c == '/' && i + 1 < batch.size() && batch[i + 1] == '*')) {
      // A comment becomes a blank: the driver refuses a statement followed by anything,
      // a trailing comment included.
      bool line = c == '-';
      end = line ? batch.find('\n', i) : batch.find("*/", i + 2);
      end = end == std::string::npos ? batch.size() : end + (line ? 1 : 2);
      current += ' ';
      i = end;
      continue;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f') {
      content = true;
    }
    current.append(batch, i, end - i);
    i = end;
  }
  finish();
  return statements;
}

}  // namespace varnel
