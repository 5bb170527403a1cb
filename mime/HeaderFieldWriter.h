// Writes header fields (RFC 5322 section 2.2) for the message and its parts: folded at
// 78 characters where a fold point exists and never over 998 (section 2.1.1), text
// outside ASCII as RFC 2047 encoded words in the message's charset, parameters as
// RFC 2045 quoted strings or RFC 2231 pieces. Every input gives a field; nothing fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"

namespace varnel {

struct CHeaderParameter {
  std::string strName;
  std::string strValue;
};

class CHeaderFieldWriter {
 public:
  static constexpr std::size_t kFoldColumn = 78;
  static constexpr std::size_t kMaxLine = 998;
  // A line holding an encoded word stays within 76 characters (RFC 2047 section 2).
  static constexpr std::size_t kMaxEncodedLine = 76;
  static constexpr std::size_t kMaxEncodedWord = 75;

  // charset: the message's charset number (mime/MessageCharset.h); terminator ends
  // every line of a field.
  CHeaderFieldWriter(std::int32_t charset, std::string terminator);

  // Free text (Subject): words outside ASCII become encoded words. A line break in the
  // value becomes a fold, so that it can never start a field of its own.
  std::string Unstructured(std::string_view name, std::string_view value) const;
  // A list of mailboxes (From, To, Cc), separated by commas: a display name outside ASCII
  // becomes encoded words; the address itself is never changed. Folded between mailboxes
  // and at blanks, so a line exceeds 998 only where one word is longer than a line (the
  // delivery refuses such an address before the header is written).
  std::string AddressList(std::string_view name, std::string_view value) const;
  // A field whose value is ASCII as given (Date, Message-ID, Mime-Version), folded at
  // its blanks only.
  std::string Structured(std::string_view name, std::string_view value) const;
  // "name: value; p1="v1"; p2*=..." (Content-Type, Content-Disposition).
  std::string WithParameters(std::string_view name, std::string_view value,
                             const std::vector<CHeaderParameter>& parameters) const;

  // RFC 2047 "Q" encoded words of text, each at most maxLength characters, never
  // splitting a character of the charset; safe in a phrase and in free text.
  std::vector<std::string> EncodedWords(std::string_view text, std::size_t maxLength) const;
  const std::string& Charset() const { return m_strCharset; }

 private:
  struct CToken {
    std::string strSeparator;  // the white space before the token (a fold point)
    std::string strText;
    bool bBreak = false;    // the value had a line break here
    bool bEncoded = false;  // an encoded word
  };
  std::string Fold(std::string_view name, const std::vector<CToken>& tokens) const;
  void AddWords(std::string_view text, bool encodeAll, std::size_t maxEncoded, std::vector<CToken>& tokens) const;
  // Words split at white space, none of them encoded.
  static void AddPlainWords(std::string_view text, std::vector<CToken>& tokens);
  void AddParameter(const CHeaderParameter& parameter, std::vector<CToken>& tokens) const;
  // Bytes of the character starting at text[offset] (whole UTF-8 sequences, both bytes
  // of a double-byte character).
  std::size_t CharacterLength(std::string_view text, std::size_t offset) const;

  // Set for charsets whose characters can take more than one byte.
  std::optional<CCodePage> m_codePage;
  std::string m_strCharset;
  std::string m_strTerminator;
};

}  // namespace varnel
