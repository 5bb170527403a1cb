// Throughput of the attachment encoders into a sink that only counts bytes, alone and
// behind the attachment writer (file reading included, files in the page cache).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "mime/Base64Encoder.h"
#include "mime/MimeSendFile.h"
#include "mime/QuotedPrintableEncoder.h"
#include "platform/Platform.h"

namespace {

using namespace varnel;

class CDiscardingSink final : public IByteSink {
 public:
  void Write(const char* data, std::size_t size) override {
    benchmark::DoNotOptimize(data);
    m_nBytes += size;
  }
  std::size_t m_nBytes = 0;
};

std::string RandomBytes(std::size_t size) {
  std::mt19937_64 generator(42);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t value = generator();
    for (int k = 0; k < 8; ++k) bytes[i + static_cast<std::size_t>(k)] = static_cast<char>(value >> (8 * k));
  }
  return bytes;
}

// Prose-like text: words, blanks, commas and periods, lines of about 70 characters.
std::string TypicalText(std::size_t size) {
  static const char* const words[] = {"the", "relay", "message", "attachment", "of", "a", "query", "result",
                                      "and", "sender", "database", "is", "to", "server", "line", "encoded"};
  std::mt19937 generator(7);
  std::string text;
  std::size_t lineStart = 0;
  while (text.size() < size) {
    text += words[generator() % 16];
    unsigned pick = generator() % 10;
    text += pick == 0 ? ". " : (pick == 1 ? ", " : " ");
    if (text.size() - lineStart > 66) {
      text.back() = '\n';
      lineStart = text.size();
    }
  }
  text.resize(size);
  return text;
}

std::vector<std::string_view> SplitLines(const std::string& text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.emplace_back(text.data() + start, end - start);
    start = end;
  }
  return lines;
}

std::string WriteTempFile(const std::string& content, const char* name) {
  std::string path = std::string(P_tmpdir) + "/varnel-bench-" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file != nullptr) {
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
  return path;
}

constexpr std::size_t kDataSize = 32 * 1024 * 1024;

void Base64FromMemory(benchmark::State& state) {
  std::string data = RandomBytes(kDataSize);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  CDiscardingSink sink;
  for (auto _ : state) {
    CBase64Encoder encoder(sink);
    encoder.Encode(bytes, data.size());
    encoder.Finish();
  }
  benchmark::DoNotOptimize(sink.m_nBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(Base64FromMemory)->Unit(benchmark::kMillisecond);

void QuotedPrintableTypicalLines(benchmark::State& state) {
  std::string text = TypicalText(kDataSize);
  std::vector<std::string_view> lines = SplitLines(text);
  CDiscardingSink sink;
  for (auto _ : state) {
    CQuotedPrintableEncoder encoder(sink);
    for (std::string_view line : lines) encoder.EncodeLine(line);
    encoder.Flush();
  }
  benchmark::DoNotOptimize(sink.m_nBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(QuotedPrintableTypicalLines)->Unit(benchmark::kMillisecond);

void QuotedPrintableBinaryWorstCase(benchmark::State& state) {
  // Random bytes: most become triplets, the heaviest escaping load.
  std::string data = RandomBytes(kDataSize / 4);
  CDiscardingSink sink;
  for (auto _ : state) {
    CQuotedPrintableEncoder encoder(sink);
    for (std::size_t at = 0; at < data.size(); at += 4999) {
      encoder.EncodeLine(std::string_view(data).substr(at, 4999));
    }
    encoder.Flush();
  }
  benchmark::DoNotOptimize(sink.m_nBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(QuotedPrintableBinaryWorstCase)->Unit(benchmark::kMillisecond);

// The whole attachment path: content check, file reads, encoding, part header.
void SendFile(benchmark::State& state, bool binary) {
  std::string content = binary ? RandomBytes(kDataSize * 2) : TypicalText(kDataSize * 2);
  std::string path = WriteTempFile(content, binary ? "random.bin" : "typical.txt");
  CDiscardingSink sink;
  for (auto _ : state) {
    CMimeSendFile writer(sink, "boundary", 1, DefaultFileSystem());
    writer.SendAttachments(path, true);
  }
  std::remove(path.c_str());
  benchmark::DoNotOptimize(sink.m_nBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
void SendFileBase64(benchmark::State& state) { SendFile(state, true); }
void SendFileQuotedPrintable(benchmark::State& state) { SendFile(state, false); }
BENCHMARK(SendFileBase64)->Unit(benchmark::kMillisecond);
BENCHMARK(SendFileQuotedPrintable)->Unit(benchmark::kMillisecond);

}  // namespace
