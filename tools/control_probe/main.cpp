// zv-control: sends one control request and prints the reply, for people at a shell.
//   zv-control [-t] [query|start|stop|quality] [body]
// -t also prints, on standard error, the microseconds from the request's send to the reply's end.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "control_channel.h"
#include "control_probe.h"

int main(int argc, char** argv) {
  const bool timed = argc > 1 && std::strcmp(argv[1], "-t") == 0;
  if (timed) {
    --argc;
    ++argv;
  }
  const char* verb = argc > 1 ? argv[1] : "query";
  std::uint16_t operation = 0;
  if (std::strcmp(verb, "query") == 0) operation = 1;
  else if (std::strcmp(verb, "start") == 0) operation = 2;
  else if (std::strcmp(verb, "stop") == 0) operation = 3;
  else if (std::strcmp(verb, "quality") == 0) operation = 16;
  else {
    std::fprintf(stderr, "zv-control: unknown verb '%s' (query, start, stop or quality)\n", verb);
    return 2;
  }
  const std::string path = zv::ControlSocketPath();
  const auto sent = std::chrono::steady_clock::now();
  const auto reply = zv::probe::Exchange(path, operation, 1, argc > 2 ? argv[2] : "");
  if (timed) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
    std::fprintf(stderr, "%lld\n", static_cast<long long>(elapsed.count()));
  }
  if (!reply) {
    std::fprintf(stderr, "zv-control: no reply from the service on %s\n", path.c_str());
    return 1;
  }
  std::printf("status %u %s\n", reply->header.status, reply->body.c_str());
  return reply->header.status == 0 ? 0 : 1;
}
