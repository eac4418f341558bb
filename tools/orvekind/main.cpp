// orvekind: the client's key tool. `orvekind keypair` prints one fresh X25519
// key pair for a WireGuard tunnel as {"private_key":"…","public_key":"…"},
// both base64 of 32 bytes.
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Key = std::array<unsigned char, 32>;

std::string Base64(const Key& key) {
  unsigned char text[4 * ((sizeof(Key) + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(text, key.data(), static_cast<int>(key.size()));
  return std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length));
}

bool MakeKeyPair(Key& privateKey, Key& publicKey) {
  const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* made = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &made) != 1) return false;
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pair(made, EVP_PKEY_free);
  std::size_t privateLength = privateKey.size(), publicLength = publicKey.size();
  return EVP_PKEY_get_raw_private_key(pair.get(), privateKey.data(), &privateLength) == 1 &&
         EVP_PKEY_get_raw_public_key(pair.get(), publicKey.data(), &publicLength) == 1 &&
         privateLength == privateKey.size() && publicLength == publicKey.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "keypair") != 0) {
    std::fprintf(stderr, "usage: orvekind keypair\n");
    return 2;
  }
  Key privateKey{}, publicKey{};
  if (!MakeKeyPair(privateKey, publicKey)) {
    std::fprintf(stderr, "orvekind: no X25519 key pair could be made\n");
    return 1;
  }
  std::printf("{\"private_key\":\"%s\",\"public_key\":\"%s\"}\n", Base64(privateKey).c_str(),
              Base64(publicKey).c_str());
  privateKey.fill(0);
  return 0;
}
