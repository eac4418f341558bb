// A secret's bytes are wiped before its memory goes back: this program's own
// operator delete looks at the one block a check watches as it is freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>

#include "secret.h"

namespace {

const void* watched = nullptr;
std::size_t watchedSize = 0;
bool freed = false, wiped = false;

void Look(void* block) {
  if (block == nullptr || block != watched) return;
  const auto* bytes = static_cast<const unsigned char*>(block);
  freed = true;
  wiped = std::all_of(bytes, bytes + watchedSize, [](unsigned char b) { return b == 0; });
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  Look(block);
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
// The other forms that may meet these blocks, so that every one is malloc's and free's.
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }

TEST(Secret, ItsBytesAreWipedBeforeTheirMemoryGoesBack) {
  const std::pair<const char*, std::function<void(std::optional<zv::Secret>&)>> rows[] = {
      {"destroyed", [](std::optional<zv::Secret>& secret) { secret.reset(); }},
      {"assigned over", [](std::optional<zv::Secret>& secret) { *secret = zv::Secret("another"); }},
      {"moved away, then destroyed", [](std::optional<zv::Secret>& secret) { zv::Secret taker(std::move(*secret)); }},
  };
  for (const auto& [name, giveBack] : rows) {
    std::optional<zv::Secret> secret(std::in_place, "a private key's bytes");
    watched = secret->data(), watchedSize = secret->size(), freed = wiped = false;
    giveBack(secret);
    watched = nullptr;
    EXPECT_TRUE(freed) << name;
    EXPECT_TRUE(wiped) << name;
  }
}
