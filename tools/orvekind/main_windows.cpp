// orvekind for Windows: the same `orvekind keypair` as main.cpp, over CNG instead
// of OpenSSL, so the client ships no cryptography library of its own. It prints
// {"private_key":"…","public_key":"…"}, both base64 of 32 bytes.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// CNG names from Microsoft's documentation that mingw-w64's bcrypt.h does not carry.
constexpr wchar_t kEcdhAlgorithm[] = L"ECDH";
constexpr wchar_t kEccCurveNameProperty[] = L"ECCCurveName";
constexpr wchar_t kCurve25519[] = L"curve25519";

constexpr ULONG kKeyBytes = 32;
using Key = std::array<unsigned char, kKeyBytes>;

// A key blob: BCRYPT_ECCKEY_BLOB, then X and Y, then d for a private key. For
// curve25519 X is the u-coordinate and d the scalar, both in X25519's own byte
// order (little-endian), and Y is unused.
constexpr ULONG kHeaderBytes = sizeof(BCRYPT_ECCKEY_BLOB);
constexpr ULONG kPublicBlobBytes = kHeaderBytes + 2 * kKeyBytes;
constexpr ULONG kPrivateBlobBytes = kHeaderBytes + 3 * kKeyBytes;

bool Failed(const char* call, NTSTATUS status) {
  if (BCRYPT_SUCCESS(status)) return false;
  std::fprintf(stderr, "orvekind: %s failed with NTSTATUS 0x%08lX\n", call, static_cast<unsigned long>(status));
  return true;
}

class Algorithm {
 public:
  ~Algorithm() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
  BCRYPT_ALG_HANDLE handle = nullptr;
};

class KeyHandle {
 public:
  ~KeyHandle() {
    if (handle) BCryptDestroyKey(handle);
  }
  BCRYPT_KEY_HANDLE handle = nullptr;
};

// CNG takes an imported curve25519 scalar as it is, so it is clamped here first
// (the three low bits cleared, the top bit cleared, the next one set): the public
// key CNG then derives is X25519's, the one WireGuard derives from the same bytes.
bool MakeKeyPair(Key& privateKey, Key& publicKey) {
  if (Failed("BCryptGenRandom",
             BCryptGenRandom(nullptr, privateKey.data(), kKeyBytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return false;
  }
  privateKey[0] &= 248;
  privateKey[31] &= 127;
  privateKey[31] |= 64;

  Algorithm algorithm;
  if (Failed("BCryptOpenAlgorithmProvider(ECDH)",
             BCryptOpenAlgorithmProvider(&algorithm.handle, kEcdhAlgorithm, nullptr, 0)) ||
      Failed("BCryptSetProperty(ECCCurveName, curve25519)",
             BCryptSetProperty(algorithm.handle, kEccCurveNameProperty,
                               reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kCurve25519)), sizeof(kCurve25519), 0))) {
    return false;
  }

  // X left zero: CNG computes the public part from d.
  std::array<unsigned char, kPrivateBlobBytes> privateBlob{};
  const BCRYPT_ECCKEY_BLOB privateHeader{BCRYPT_ECDH_PRIVATE_GENERIC_MAGIC, kKeyBytes};
  std::memcpy(privateBlob.data(), &privateHeader, kHeaderBytes);
  std::memcpy(privateBlob.data() + kHeaderBytes + 2 * kKeyBytes, privateKey.data(), kKeyBytes);
  KeyHandle key;
  const NTSTATUS imported = BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key.handle,
                                                privateBlob.data(), kPrivateBlobBytes, 0);
  SecureZeroMemory(privateBlob.data(), privateBlob.size());
  if (Failed("BCryptImportKeyPair(ECCPRIVATEBLOB)", imported)) return false;

  std::array<unsigned char, kPublicBlobBytes> publicBlob{};
  ULONG written = 0;
  if (Failed("BCryptExportKey(ECCPUBLICBLOB)",
             BCryptExportKey(key.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, publicBlob.data(), kPublicBlobBytes,
                             &written, 0))) {
    return false;
  }
  BCRYPT_ECCKEY_BLOB publicHeader{};
  std::memcpy(&publicHeader, publicBlob.data(), kHeaderBytes);
  if (written != kPublicBlobBytes || publicHeader.dwMagic != BCRYPT_ECDH_PUBLIC_GENERIC_MAGIC ||
      publicHeader.cbKey != kKeyBytes) {
    std::fprintf(stderr, "orvekind: CNG exported an unexpected public key blob (%lu bytes)\n",
                 static_cast<unsigned long>(written));
    return false;
  }
  std::memcpy(publicKey.data(), publicBlob.data() + kHeaderBytes, kKeyBytes);
  return true;
}

bool Base64(const Key& key, std::string& text) {
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  char buffer[4 * ((kKeyBytes + 2) / 3) + 1];
  DWORD length = sizeof(buffer);
  if (!CryptBinaryToStringA(key.data(), kKeyBytes, kFlags, buffer, &length)) {
    std::fprintf(stderr, "orvekind: CryptBinaryToStringA failed with error %lu\n", GetLastError());
    return false;
  }
  text.assign(buffer, length);
  SecureZeroMemory(buffer, sizeof(buffer));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "keypair") != 0) {
    std::fprintf(stderr, "usage: orvekind keypair\n");
    return 2;
  }
  Key privateKey{}, publicKey{};
  std::string privateText, publicText;
  const bool made = MakeKeyPair(privateKey, publicKey) && Base64(privateKey, privateText) &&
                    Base64(publicKey, publicText);
  SecureZeroMemory(privateKey.data(), privateKey.size());
  if (!made) {
    std::fprintf(stderr, "orvekind: no X25519 key pair could be made\n");
    return 1;
  }
  // Byte for byte what the Linux tool prints: a "\n", not the console's "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  std::printf("{\"private_key\":\"%s\",\"public_key\":\"%s\"}\n", privateText.c_str(), publicText.c_str());
  SecureZeroMemory(privateText.data(), privateText.size());
  return 0;
}
