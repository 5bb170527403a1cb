// Test host for xp_varnel.dll under Wine: loads the DLL as the server would (LoadLibrary,
// both exports looked up by name), builds calls through the opends60.dll stand-in, runs
// them, each on its own thread and all at once, and prints what the procedure sent as
// JSON. Exit status: 0 when every call ran without misusing the server interface, 2 for
// bad usage or a DLL that cannot be loaded, 3 when a misuse was recorded.
//
// xp_host.exe [--dll PATH] [--version] [--threads N] [-f FILE]... [LINE]...
//   --version prints __GetXpVersion's value and the DLL's version resource.
//   Each -f FILE is one call; the LINE arguments together form one more call. --threads
//   runs every call N times. Lines of a call:
//     param NAME TYPE VALUE   a parameter; NAME "-" for a positional one; the value is
//                             the rest of the line, with \n \r \t \\ \0 \xHH escapes
//     null NAME TYPE          a NULL parameter
//     count N                 what srv_rpcparams answers instead of the count
//     field N VALUE           field N of the caller's connection; "nofield N" removes it
//     bindtoken VALUE         the caller's bind token; "nobindtoken" for none
//   TYPE is a server type name (varchar, nvarchar, int, bit, ...) or a code like 0x32.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/windows/OdsDouble.h"

namespace {

using XpProcedure = int (*)(SRV_PROC*);
using XpVersion = unsigned long (*)();

struct CTypeName {
  const char* pName;
  int nCode;
  int nSize;       // fixed size of a number type; 0 for byte strings
  bool bUnicode;   // the value is given as UTF-8 and passed as UTF-16
  int nMaxLength;  // what the server reports as the parameter's maximum length
};

constexpr CTypeName kTypes[] = {
    {"varchar", 0xA7, 0, false, 8000},  {"char", 0xAF, 0, false, 8000},
    {"text", 0x23, 0, false, 0x7FFFFFFF}, {"varbinary", 0xA5, 0, false, 8000},
    {"binary", 0xAD, 0, false, 8000},   {"oldvarchar", 0x27, 0, false, 255},
    {"oldchar", 0x2F, 0, false, 255},   {"oldvarbinary", 0x25, 0, false, 255},
    {"nvarchar", 0xE7, 0, true, 8000},  {"nchar", 0xEF, 0, true, 8000},
    {"ntext", 0x63, 0, true, 0x7FFFFFFF}, {"tinyint", 0x30, 1, false, 1},
    {"smallint", 0x34, 2, false, 2},    {"int", 0x38, 4, false, 4},
    {"intn", 0x26, 4, false, 4},        {"bigint", 0x7F, 8, false, 8},
    {"bit", 0x32, 1, false, 1},         {"float", 0x3E, 8, false, 8},
    {"money", 0x3C, 8, false, 8},       {"datetime", 0x3D, 8, false, 8},
};

struct CParam {
  std::string strName;
  int nType = 0;
  std::string strData;
  int nMaxLength = 0;
  bool bNull = false;
};

struct CCallSpec {
  std::vector<CParam> arrParams;
  bool bCountGiven = false;
  int nCount = 0;
  std::vector<std::pair<int, std::string>> arrFields;
  std::vector<int> arrRemovedFields;
  int nBindToken = 0;  // 0 default, 1 given, -1 removed
  std::string strBindToken;
};

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "xp_host: %s\n", text.c_str());
  std::exit(2);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char next = text[++i];
    switch (next) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case '\\': out += '\\'; break;
      case 'x':
        if (i + 2 >= text.size()) Fail("short \\x escape in " + text);
        out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
        break;
      default: Fail(std::string("unknown escape \\") + next);
    }
  }
  return out;
}

const CTypeName* FindType(const std::string& name, CTypeName& custom) {
  for (const CTypeName& type : kTypes)
    if (name == type.pName) return &type;
  if (name.rfind("0x", 0) == 0) {
    custom = CTypeName{"custom", static_cast<int>(std::strtol(name.c_str(), nullptr, 16)), 0, false, 8000};
    return &custom;
  }
  Fail("unknown type " + name);
}

std::string Utf16(const std::string& utf8) {
  if (utf8.empty()) return {};
  int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (units <= 0) Fail("value is not UTF-8: " + utf8);
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
  std::string bytes;
  for (wchar_t unit : wide) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>((unit >> 8) & 0xFF);
  }
  return bytes;
}

CParam MakeParam(const std::string& name, const std::string& typeName, const std::string* value) {
  CTypeName custom{};
  const CTypeName* type = FindType(typeName, custom);
  CParam param;
  param.strName = name == "-" ? std::string() : name;
  param.nType = type->nCode;
  param.nMaxLength = type->nMaxLength;
  if (value == nullptr) {
    param.bNull = true;
    return param;
  }
  std::string raw = Unescape(*value);
  if (type->nSize == 0) {
    param.strData = type->bUnicode ? Utf16(raw) : raw;
  } else if (type->nCode == 0x3E) {
    double number = std::strtod(raw.c_str(), nullptr);
    param.strData.assign(reinterpret_cast<const char*>(&number), 8);
  } else {
    // Little-endian, as x64 keeps numbers.
    long long number = std::strtoll(raw.c_str(), nullptr, 10);
    param.strData.assign(reinterpret_cast<const char*>(&number), static_cast<std::size_t>(type->nSize));
  }
  return param;
}

void ParseLine(const std::string& line, CCallSpec& spec) {
  if (line.empty() || line[0] == '#') return;
  std::istringstream words(line);
  std::string keyword;
  words >> keyword;
  // The value is the rest of the line after one separating blank, leading blanks kept.
  auto restAfter = [&line](int skipWords) {
    std::size_t at = 0;
    for (int i = 0; i < skipWords; ++i) {
      at = line.find(' ', at);
      if (at == std::string::npos) return std::string();
      ++at;
    }
    return line.substr(at);
  };
  if (keyword == "param") {
    std::string name, type;
    if (!(words >> name >> type)) Fail("bad line: " + line);
    std::string value = restAfter(3);
    spec.arrParams.push_back(MakeParam(name, type, &value));
  } else if (keyword == "null") {
    std::string name, type;
    if (!(words >> name >> type)) Fail("bad line: " + line);
    spec.arrParams.push_back(MakeParam(name, type, nullptr));
  } else if (keyword == "count") {
    if (!(words >> spec.nCount)) Fail("bad line: " + line);
    spec.bCountGiven = true;
  } else if (keyword == "field") {
    int field = 0;
    if (!(words >> field)) Fail("bad line: " + line);
    spec.arrFields.emplace_back(field, Unescape(restAfter(2)));
  } else if (keyword == "nofield") {
    int field = 0;
    if (!(words >> field)) Fail("bad line: " + line);
    spec.arrRemovedFields.push_back(field);
  } else if (keyword == "bindtoken") {
    spec.nBindToken = 1;
    spec.strBindToken = Unescape(restAfter(1));
  } else if (keyword == "nobindtoken") {
    spec.nBindToken = -1;
  } else {
    Fail("unknown directive: " + line);
  }
}

CCallSpec ReadSpecFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail("cannot read " + path);
  CCallSpec spec;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ParseLine(line, spec);
  }
  return spec;
}

struct CCallResult {
  SRV_PROC* pCall = nullptr;
  int nReturn = 0;
};

std::string ReadBack(int (*reader)(SRV_PROC*, int, char*, int), SRV_PROC* call, int returnValue) {
  std::vector<char> buffer(4096);
  int needed = reader(call, returnValue, buffer.data(), static_cast<int>(buffer.size()));
  if (needed >= static_cast<int>(buffer.size())) {
    buffer.resize(static_cast<std::size_t>(needed) + 1);
    reader(call, returnValue, buffer.data(), static_cast<int>(buffer.size()));
  }
  return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

int ReportReader(SRV_PROC* call, int returnValue, char* buffer, int size) {
  return odsdouble_report(call, returnValue, buffer, size);
}

int MisuseReader(SRV_PROC* call, int, char* buffer, int size) { return odsdouble_misuses(call, buffer, size); }

CCallResult RunCall(XpProcedure procedure, const CCallSpec& spec) {
  SRV_PROC* call = odsdouble_open();
  for (const CParam& param : spec.arrParams)
    odsdouble_add_param(call, param.strName.c_str(), param.nType, param.strData.data(),
                        static_cast<int>(param.strData.size()), param.nMaxLength, param.bNull ? 1 : 0);
  if (spec.bCountGiven) odsdouble_set_param_count(call, spec.nCount);
  for (const auto& [field, value] : spec.arrFields) odsdouble_set_field(call, field, value.c_str());
  for (int field : spec.arrRemovedFields) odsdouble_set_field(call, field, nullptr);
  if (spec.nBindToken == 1) odsdouble_set_bind_token(call, spec.strBindToken.c_str());
  if (spec.nBindToken == -1) odsdouble_set_bind_token(call, nullptr);

  odsdouble_enter(call);
  CCallResult result;
  result.pCall = call;
  result.nReturn = procedure(call);
  odsdouble_leave(call);
  return result;
}

// The DLL's version resource as the file properties show it: the fixed file version and
// the ProductVersion string (U.S. English, Unicode), as JSON members.
std::string FileVersion(const std::string& path) {
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
  std::vector<char> data(size);
  if (size == 0 || !::GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return "\"fileVersion\": null";
  void* value = nullptr;
  UINT length = 0;
  char text[160];
  std::string json = "\"fileVersion\": null";
  if (::VerQueryValueA(data.data(), "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
    auto* fixed = static_cast<VS_FIXEDFILEINFO*>(value);
    std::snprintf(text, sizeof text, "\"fileVersion\": \"%u.%u.%u.%u\"", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    json = text;
  }
  if (::VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\ProductVersion", &value, &length) && length > 0)
    json += ", \"productVersion\": \"" + std::string(static_cast<const char*>(value)) + "\"";
  return json;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dllPath = "xp_varnel.dll";
  bool versionOnly = false;
  int repeat = 1;
  std::vector<CCallSpec> specs;
  CCallSpec inlineSpec;
  bool inlineGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--dll" && i + 1 < argc) dllPath = argv[++i];
    else if (arg == "--version") versionOnly = true;
    else if (arg == "--threads" && i + 1 < argc) repeat = std::atoi(argv[++i]);
    else if (arg == "-f" && i + 1 < argc) specs.push_back(ReadSpecFile(argv[++i]));
    else {
      ParseLine(arg, inlineSpec);
      inlineGiven = true;
    }
  }
  if (inlineGiven || (specs.empty() && !versionOnly)) specs.push_back(inlineSpec);
  if (repeat < 1 || repeat > 64) Fail("--threads takes 1 to 64");

  HMODULE library = ::LoadLibraryA(dllPath.c_str());
  if (library == nullptr) Fail("cannot load " + dllPath + " (error " + std::to_string(::GetLastError()) + ")");
  auto procedure = reinterpret_cast<XpProcedure>(reinterpret_cast<void*>(::GetProcAddress(library, "xp_Varnel")));
  auto version = reinterpret_cast<XpVersion>(reinterpret_cast<void*>(::GetProcAddress(library, "__GetXpVersion")));
  if (procedure == nullptr) Fail("xp_Varnel is not exported");
  if (version == nullptr) Fail("__GetXpVersion is not exported");

  if (versionOnly) {
    std::printf("{\"version\": %lu, %s}\n", version(), FileVersion(dllPath).c_str());
    return 0;
  }

  std::vector<const CCallSpec*> calls;
  for (const CCallSpec& spec : specs)
    for (int i = 0; i < repeat; ++i) calls.push_back(&spec);
  std::vector<CCallResult> results(calls.size());
  std::vector<std::thread> threads;
  // Every thread waits until all exist, so that the calls overlap as much as they can.
  // A plain mutex and condition variable: std::latch of MinGW's libstdc++ (atomic waits
  // without a futex) can lose the wake-up, and a thread then waits for ever.
  std::mutex gate;
  std::condition_variable opened;
  std::size_t waiting = 0;
  for (std::size_t i = 0; i < calls.size(); ++i)
    threads.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(gate);
        if (++waiting == calls.size()) opened.notify_all();
        else opened.wait(lock, [&] { return waiting == calls.size(); });
      }
      results[i] = RunCall(procedure, *calls[i]);
    });
  for (std::thread& thread : threads) thread.join();

  // Every call stays open until all have ended, so that a thread of one call that
  // touches its handle after the return is recorded, not a use of freed memory.
  int status = 0;
  std::string output = results.size() == 1 ? std::string() : std::string("[");
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (results.size() > 1 && i > 0) output += ",\n ";
    output += ReadBack(ReportReader, results[i].pCall, results[i].nReturn);
    std::string misuses = ReadBack(MisuseReader, results[i].pCall, 0);
    if (!misuses.empty()) {
      std::fprintf(stderr, "call %zu misused the server interface:\n%s", i + 1, misuses.c_str());
      status = 3;
    }
  }
  if (results.size() > 1) output += "]";
  std::printf("%s\n", output.c_str());
  for (CCallResult& result : results) odsdouble_close(result.pCall);
  // The DLL stays loaded until the process ends, as in a server between calls.
  return status;
}
