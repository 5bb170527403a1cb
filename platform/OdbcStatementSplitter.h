// Splits a batch into its statements for drivers that run one statement per call.
// Outside input (the caller's query text): never fails, only cuts.
#pragma once

#include <string>
#include <vector>

namespace varnel {

// The statements of a batch, cut at the semicolons that stand outside quotes, brackets
// and comments, comments removed; statements that hold nothing but blanks and comments
// are left out.
std::vector<std::string> SplitOdbcStatements(const std::string& batch);

}  // namespace varnel
