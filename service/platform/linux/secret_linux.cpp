#include <string.h>

#include "secret.h"

namespace zv {

// explicit_bzero is a call the optimiser must keep, unlike a store to memory about to be freed.
void WipeMemory(void* data, std::size_t size) {
  if (data != nullptr) explicit_bzero(data, size);
}

}  // namespace zv
