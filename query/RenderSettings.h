// How a captured result set is rendered: the form (separated text, an HTML table, or CSV)
// and the separators, tags and caption it uses. The runner hands each result set a copy
// when it captures it, so rendering needs nothing but the result set itself.
#pragma once

#include <string>

namespace varnel {

class CRenderSettings {
 public:
  bool m_bHTML = false;
  // Opt-in renderings: HTML with &, <, > and " of names and values escaped; RFC 4180 CSV
  // (in place of text or HTML tables).
  bool m_bHTMLEscape = false;
  bool m_bCSV = false;
  std::string m_strRowSeparator = "\n";  // after every text line
  std::string m_strFieldSeparator = ",";  // between text fields
  std::string m_strTerminator;           // the mail's line terminator
  std::string m_strTableCaption;
  // Ready-made opening tags, attributes included.
  std::string m_strTableTag = "<TABLE>";
  std::string m_strCaptionTag = "<CAPTION>";
  std::string m_strHeaderTag = "<TH>";
  std::string m_strTDTag = "<TD>";
  std::string m_strTRTag = "<TR>";
};

}  // namespace varnel
