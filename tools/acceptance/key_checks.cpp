// The key tool's pairs, held against the kit's own X25519, which is first
// held against RFC 7748's vectors.
#include <windows.h>
#include <wincrypt.h>

#include <set>
#include <vector>

#include "kit.h"
#include "x25519.h"

namespace zv::kit {
namespace {

Bytes32 FromHex(const char* hex) {
  Bytes32 bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    bytes[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
  return bytes;
}

// The text after "name":" up to the next quote.
std::string Member(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const auto at = json.find(key);
  if (at == std::string::npos) return {};
  const auto start = at + key.size();
  const auto end = json.find('"', start);
  return end == std::string::npos ? std::string() : json.substr(start, end - start);
}

bool Base64Key(const std::string& text, Bytes32& key) {
  DWORD length = key.size();
  return CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, key.data(), &length,
                              nullptr, nullptr) &&
         length == key.size();
}

// `tool keypair`, its standard output and exit code, within 10 s.
bool RunKeyTool(const std::wstring& tool, std::string& output, std::string& failure) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return failure = "no pipe", false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + tool + L"\" keypair";
  const BOOL started = CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return failure = "could not start " + Utf8(tool) + " (error " + std::to_string(GetLastError()) + ")", false;
  }
  char chunk[512];
  DWORD read = 0;
  while (ReadFile(readEnd, chunk, sizeof chunk, &read, nullptr) && read > 0) output.append(chunk, read);
  CloseHandle(readEnd);
  DWORD code = 1;
  const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
  GetExitCodeProcess(process.hProcess, &code);
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!ended || code != 0) return failure = "the key tool ended with " + std::to_string(code), false;
  return true;
}

}  // namespace

Outcome CheckX25519(const Options&) {
  const struct {
    const char* scalar;
    const char* u;
    const char* result;
  } vectors[] = {
      // section 5.2
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
      // section 6.1: Alice's and Bob's public keys, and their shared secret
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "0900000000000000000000000000000000000000000000000000000000000000",
       "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
      {"5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
       "0900000000000000000000000000000000000000000000000000000000000000",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
      {"77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
       "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
       "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
  };
  int number = 0;
  for (const auto& vector : vectors) {
    ++number;
    if (X25519(FromHex(vector.scalar), FromHex(vector.u)) != FromHex(vector.result)) {
      return Fail("RFC 7748 vector " + std::to_string(number) + " differs");
    }
  }
  // section 5.2, iterated: k and u start as 9, then u takes k and k the result
  Bytes32 k = kBasePoint, u = kBasePoint;
  for (int iteration = 1; iteration <= 1000; ++iteration) {
    const Bytes32 result = X25519(k, u);
    u = k, k = result;
    if (iteration == 1 && k != FromHex("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079")) {
      return Fail("RFC 7748 after 1 iteration differs");
    }
  }
  if (k != FromHex("684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51")) {
    return Fail("RFC 7748 after 1000 iterations differs");
  }
  return Pass("the kit's own X25519 gives RFC 7748's 5 vectors and its 1 and 1000 iterations");
}

Outcome CheckKeyTool(const Options& options) {
  const std::wstring tool = !options.keyTool.empty() ? options.keyTool : ServiceFolder() + L"\\orvekind.exe";
  std::set<Bytes32> privateKeys;
  for (int pair = 1; pair <= options.pairs; ++pair) {
    std::string output, failure;
    if (!RunKeyTool(tool, output, failure)) return Fail("pair " + std::to_string(pair) + ": " + failure);
    Bytes32 privateKey{}, publicKey{};
    if (!Base64Key(Member(output, "private_key"), privateKey) || !Base64Key(Member(output, "public_key"), publicKey)) {
      return Fail("pair " + std::to_string(pair) + ": no two 32-byte keys in " + output);
    }
    if (X25519(privateKey, kBasePoint) != publicKey) {
      return Fail("pair " + std::to_string(pair) + ": the public key is not X25519 of the private key: " + output);
    }
    privateKeys.insert(privateKey);
  }
  if (static_cast<int>(privateKeys.size()) != options.pairs) {
    return Fail(std::to_string(options.pairs - privateKeys.size()) + " private keys came twice");
  }
  return Pass("pairs from " + Utf8(tool) + ": " + std::to_string(options.pairs) + ", each X25519 of its private key, no private key twice");
}

}  // namespace zv::kit
