// Honest stand-ins for outside programs under wine, picked by the name they
// are built as:
//   orvekind.exe keypair        prints a fixed key pair (wine has no X25519 for the real one)
//   url_handler.exe FILE URL    writes URL to FILE, as a registered URL handler is started
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "keypair") == 0) {
    std::printf("{\"private_key\":\"STAND-IN-PRIVATE\",\"public_key\":\"STAND-IN-PUBLIC\"}\n");
    return 0;
  }
  if (argc == 3) {
    std::FILE* file = std::fopen(argv[1], "w");
    if (file == nullptr) return 1;
    std::fputs(argv[2], file);
    return std::fclose(file) == 0 ? 0 : 1;
  }
  return 2;
}
