// The server interface of one call run inside this process: it serves the parameters it was
// given and records every message, column, row and done notice the procedure sends. Misuse
// (unknown columns, missing data, lengths that do not fit) never crashes; it is recorded in
// Errors() the way a server would refuse the operation.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ServerCall.h"

namespace varnel {

struct CHostParameter {
  std::string strName;  // "@" included; empty when the caller did not name it
  int nType = 0;
  bool bNull = false;
  std::string data;  // the value's bytes in the server's layout for nType
  std::uint32_t nMaxLength = 0;  // 0: the length of data
};

struct CHostColumn {
  std::string strName;
  int nDestType = 0;
  int nDestLength = 0;
  int nSrcType = 0;
  int nSrcLength = 0;
};

struct CHostDone {
  std::uint16_t nStatus = 0;
  std::uint16_t nCommand = 0;
  int nCount = 0;
};

struct CHostValue {
  bool bNull = false;
  std::string data;
};

// What the procedure sent, in the order it sent it; nIndex points into the matching list.
struct CHostEvent {
  enum class Kind { Message, Row, Done };
  Kind eKind = Kind::Message;
  std::size_t nIndex = 0;
};

class CHostServerCall final : public IServerCall {
 public:
  void AddParameter(CHostParameter parameter);
  // Parameters typed as the server passes literals of a batch.
  static CHostParameter Text(std::string name, std::string value);               // bigvarchar
  static CHostParameter NText(std::string name, const std::u16string& value);    // nvarchar, UTF-16LE
  static CHostParameter Int(std::string name, std::int32_t value);               // int, little-endian
  static CHostParameter Null(std::string name);                                  // bigvarchar NULL

  // Overrides the count ParamCount() reports (-1: the server cannot tell).
  void SetParamCount(int count);
  void SetConnectionField(int field, std::string value);
  void SetBindToken(std::string token);

  const std::vector<std::string>& Messages() const { return m_arrMessages; }
  const std::vector<CHostColumn>& Columns() const { return m_arrColumns; }
  const std::vector<std::vector<CHostValue>>& Rows() const { return m_arrRows; }
  const std::vector<CHostDone>& DoneNotices() const { return m_arrDoneNotices; }
  const std::vector<CHostEvent>& Events() const { return m_arrEvents; }
  // Operations a real server would have refused, one text each.
  const std::vector<std::string>& Errors() const { return m_arrErrors; }

  int ParamCount() override;
  std::string ParamName(int n) override;
  bool ParamInfo(int n, CParamInfo& info, std::uint8_t* data) override;
  int ParamType(int n) override;
  int ParamLength(int n) override;
  const void* ParamData(int n) override;
  int Convert(int srcType, const void* src, int srcLength, int destType, void* dest, int destLength) override;

  void SendMessage(const std::string& text) override;
  void SendDone(std::uint16_t status, std::uint16_t command, int count) override;

  void DescribeColumn(int column, const std::string& name, int destType, int destLength, int srcType,
                      int srcLength) override;
  void SetColumnData(int column, const void* data) override;
  void SetColumnLength(int column, int length) override;
  void SendRow() override;

  std::optional<std::string> ConnectionField(int field) override;
  std::string BindToken() override;
  void ReportCall(const CCallReport& report) override { m_report = report; }

  // The last report of the call; none when the procedure refused the call's parameters.
  const std::optional<CCallReport>& Report() const { return m_report; }

 private:
  struct CBinding {
    const void* pData = nullptr;
    std::optional<int> nLength;  // not set: the described source length applies
  };

  const CHostParameter* Parameter(int n) const;
  CBinding* Binding(int column, const char* operation);

  std::vector<CHostParameter> m_arrParameters;
  std::optional<int> m_nParamCount;
  std::map<int, std::string> m_arrConnectionFields;
  std::string m_strBindToken;

  std::vector<std::string> m_arrMessages;
  std::vector<CHostColumn> m_arrColumns;
  std::vector<CBinding> m_arrBindings;
  std::vector<std::vector<CHostValue>> m_arrRows;
  std::vector<CHostDone> m_arrDoneNotices;
  std::vector<CHostEvent> m_arrEvents;
  std::vector<std::string> m_arrErrors;
  std::optional<CCallReport> m_report;
};

// Converts a value of a server type to a 4-byte integer the way the server's conversion
// service does; false when the value does not convert or does not fit.
bool ConvertToInt32(int srcType, const std::uint8_t* src, std::size_t srcLength, std::int32_t& result);

// Length of a fixed-length server type in bytes; 0 for a type of variable length.
int FixedTypeLength(int type);
// True for the types whose value is 8-bit text (char, varchar, text and their old forms).
bool IsCharType(int type);

}  // namespace varnel
