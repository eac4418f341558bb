// Stands in for a running game: it only waits to be ended.
#include <windows.h>

int main() {
  Sleep(60000);
  return 0;
}
