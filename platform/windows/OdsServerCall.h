// The server interface of one xp_Varnel call over opends60.dll. The server's own
// failure values (FAIL, -1, NULL) are mapped to the seam's: false, 0 or empty.
#pragma once

#include "platform/ServerCall.h"
#include "platform/windows/OdsApi.h"

namespace varnel {

class COdsServerCall final : public IServerCall {
 public:
  // The handle belongs to the server and stays valid for the whole call.
  explicit COdsServerCall(SRV_PROC* server) : m_pServer(server) {}
  COdsServerCall(const COdsServerCall&) = delete;
  COdsServerCall& operator=(const COdsServerCall&) = delete;

  int ParamCount() override;
  std::string ParamName(int n) override;
  bool ParamInfo(int n, CParamInfo& info, std::uint8_t* data) override;
  int ParamType(int n) override;
  int ParamLength(int n) override;
  const void* ParamData(int n) override;
  int Convert(int srcType, const void* src, int srcLength, int destType, void* dest,
              int destLength) override;

  void SendMessage(const std::string& text) override;
  void SendDone(std::uint16_t status, std::uint16_t command, int count) override;

  void DescribeColumn(int column, const std::string& name, int destType, int destLength,
                      int srcType, int srcLength) override;
  void SetColumnData(int column, const void* data) override;
  void SetColumnLength(int column, int length) override;
  void SendRow() override;

  std::optional<std::string> ConnectionField(int field) override;
  std::string BindToken() override;

 private:
  SRV_PROC* m_pServer;
};

}  // namespace varnel
