#include <windows.h>

#include "secret.h"

namespace zv {

// SecureZeroMemory is a call the optimiser must keep, unlike a store to memory about to be freed.
void WipeMemory(void* data, std::size_t size) {
  if (data != nullptr) SecureZeroMemory(data, size);
}

}  // namespace zv
