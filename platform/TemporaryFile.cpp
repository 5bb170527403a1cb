#include "platform/TemporaryFile.h"

#include <vector>

namespace varnel {
namespace {

class CBufferView final : public IFileView {
 public:
  explicit CBufferView(std::size_t size) : m_arrBytes(size) {}
  const char* Data() const override { return m_arrBytes.data(); }
  char* Bytes() { return m_arrBytes.data(); }

 private:
  std::vector<char> m_arrBytes;
};

}  // namespace

std::unique_ptr<IFileView> ITemporaryFile::View(std::uint64_t offset, std::size_t size, std::string& error) {
  auto view = std::make_unique<CBufferView>(size);
  if (!ReadAt(offset, view->Bytes(), size, error)) return nullptr;
  return view;
}

}  // namespace varnel
