// Plays orvekind for the acceptance kit under wine, whose CNG has no X25519:
// `keypair` prints the pair given in ZV_STAND_IN_PAIR.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const char* pair = std::getenv("ZV_STAND_IN_PAIR");
  if (argc != 2 || std::strcmp(argv[1], "keypair") != 0 || pair == nullptr) return 2;
  std::printf("%s\n", pair);
  return 0;
}
