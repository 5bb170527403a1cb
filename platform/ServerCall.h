// The database server's extended-procedure interface, reduced to the operations the
// procedure uses. One object per call; the in-process host and the Windows binding
// implement it. Failures come back as the server would report them (0 or empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

// Server data type codes of parameters and result columns.
namespace ServerType {
inline constexpr int Text = 0x23;
inline constexpr int VarBinary = 0x25;
inline constexpr int IntN = 0x26;
inline constexpr int VarChar = 0x27;
inline constexpr int Char = 0x2F;
inline constexpr int TinyInt = 0x30;
inline constexpr int Bit = 0x32;
inline constexpr int SmallInt = 0x34;
inline constexpr int Int = 0x38;
inline constexpr int DateTime = 0x3D;
inline constexpr int Float = 0x3E;
inline constexpr int Money = 0x3C;
inline constexpr int NText = 0x63;
inline constexpr int Numeric = 0x6C;
inline constexpr int BigInt = 0x7F;
inline constexpr int BigVarBinary = 0xA5;
inline constexpr int BigVarChar = 0xA7;
inline constexpr int BigBinary = 0xAD;
inline constexpr int BigChar = 0xAF;
inline constexpr int NVarChar = 0xE7;
inline constexpr int NChar = 0xEF;
}  // namespace ServerType

// Fields of the caller's connection information (IServerCall::ConnectionField).
namespace ConnectionInfo {
inline constexpr int ServerName = 14;
inline constexpr int LoginName = 16;
inline constexpr int Password = 17;
inline constexpr int IntegratedSecurity = 30;  // "TRUE" when the caller signed in with it
inline constexpr int CodePage = 36;            // decimal text
}  // namespace ConnectionInfo

// Done notice status bits.
inline constexpr std::uint16_t kDoneMore = 0x01;
inline constexpr std::uint16_t kDoneCount = 0x10;

struct CParamInfo {
  int nType = 0;
  std::uint32_t nMaxLength = 0;
  std::uint32_t nActualLength = 0;
  bool bNull = true;
};

// What one call did beyond its outcome row, for a caller that keeps a record of it (the
// varnel command prints it, the log line of a send is made of it). The outcome row stays
// as the database server knows it; the server's binding ignores the report.
struct CCallReport {
  std::int32_t nStatus = 0;   // the outcome's status code (the row's Result)
  bool bAccepted = false;     // the relay took the message (its 250 after the text)
  std::string strSender;      // the envelope sender; empty before it was known
  std::size_t nRecipients = 0;
  std::string strRelayHost;   // the relay as the call named it
  int nRelayPort = 0;
  bool bRelayConnected = false;  // a connection to it was made
  std::string strTlsVersion;  // "TLSv1.3"; empty: no TLS
  std::string strTlsCipher;
  std::string strMessageId;   // empty: no message text was sent
  std::uint64_t nSize = 0;    // bytes of message text sent after DATA, end-of-data line included
  std::int64_t nMilliseconds = 0;  // from the call's start to its outcome
  // Every try of a relay, in order: the relay, the try's status, the relay's last reply
  // (or why no dialogue took place), and the wait before the next try.
  struct CAttempt {
    std::string strHost;
    int nPort = 0;
    std::int32_t nStatus = 0;
    std::string strReply;
    std::int64_t nDelayMs = 0;
  };
  std::vector<CAttempt> arrAttempts;
  int nAcceptedAttempt = 0;   // 1-based index of the try whose relay took the message; 0: none
  // Recipients refused and dropped (@partialrecipients=1), each with the relay's reply.
  std::vector<std::pair<std::string, std::string>> arrRefusedRecipients;
};

class IServerCall {
 public:
  virtual ~IServerCall() = default;

  // Number of parameters of the call; -1 when the server cannot tell.
  virtual int ParamCount() = 0;
  // Name of parameter n (1-based) as the caller wrote it, "@" included; empty when unnamed.
  virtual std::string ParamName(int n) = 0;
  // Type, lengths and NULL flag of parameter n; copies the value into data when data is
  // not null (data must hold nActualLength bytes). False when n is out of range.
  virtual bool ParamInfo(int n, CParamInfo& info, std::uint8_t* data) = 0;
  virtual int ParamType(int n) = 0;
  virtual int ParamLength(int n) = 0;
  virtual const void* ParamData(int n) = 0;
  // Converts a value between server types into dest; returns the converted length,
  // 0 when nothing could be converted.
  virtual int Convert(int srcType, const void* src, int srcLength, int destType, void* dest,
                      int destLength) = 0;

  // Informational message: type 1, number 0, class 0, state 0.
  virtual void SendMessage(const std::string& text) = 0;
  virtual void SendDone(std::uint16_t status, std::uint16_t command, int count) = 0;

  virtual void DescribeColumn(int column, const std::string& name, int destType, int destLength,
                              int srcType, int srcLength) = 0;
  // The data is copied by the callee when the row is sent; it must stay valid until then.
  virtual void SetColumnData(int column, const void* data) = 0;
  virtual void SetColumnLength(int column, int length) = 0;
  virtual void SendRow() = 0;

  // Field of the caller's connection information (ConnectionInfo). Empty when unknown.
  virtual std::optional<std::string> ConnectionField(int field) = 0;
  // The caller's bind token for sp_bindsession; empty when the caller has none.
  virtual std::string BindToken() = 0;

  // Told once per call that got past its parameters, just before the outcome is sent.
  virtual void ReportCall(const CCallReport& report) { (void)report; }
};

}  // namespace varnel
