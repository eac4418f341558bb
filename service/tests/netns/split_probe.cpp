// What a game's connection looks like to the game server: sends one UDP
// datagram or opens one TCP connection to HOST:PORT and prints the source
// address the server answers it saw. Copied under a game's name by the tunnel
// test, so that the split routing knows it by that name. With "fork", it
// waits, then does it in a child it forks without starting another program;
// with "leave", in a thread that goes on after the first thread has ended.
// Started with a Windows path as its first argument, it names its task after
// that file, as wine does.
//   split_probe [fork|leave DELAY_MS] udp|tcp HOST PORT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int Probe(int argc, char** argv);

int main(int argc, char** argv) {
  if (const char* windowsName = std::strrchr(argv[0], '\\')) prctl(PR_SET_NAME, windowsName + 1);
  if (argc == 6 && std::strcmp(argv[1], "fork") == 0) {
    usleep(static_cast<useconds_t>(std::atoi(argv[2]) * 1000));
    const pid_t child = fork();
    if (child != 0) {
      int status = 1;
      waitpid(child, &status, 0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
  } else if (argc == 6 && std::strcmp(argv[1], "leave") == 0) {
    static char** arguments = argv;
    pthread_t worker;
    pthread_create(&worker, nullptr, [](void*) -> void* {
      usleep(static_cast<useconds_t>(std::atoi(arguments[2]) * 1000));
      std::exit(Probe(4, arguments + 2));
    }, nullptr);
    usleep(300 * 1000);  // its first moments, in which the tracker has taken it for the game
    pthread_exit(nullptr);
  }
  return argc == 6 ? Probe(4, argv + 2) : Probe(argc, argv);
}

int Probe(int argc, char** argv) {
  if (argc != 4) return 2;
  const bool tcp = std::strcmp(argv[1], "tcp") == 0;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[3])));
  if (inet_pton(AF_INET, argv[2], &server.sin_addr) != 1) return 2;
  const int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  const timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 || send(fd, "?", 1, 0) != 1) {
    std::perror("split_probe");
    return 1;
  }
  char seen[64] = {};
  if (recv(fd, seen, sizeof seen - 1, 0) <= 0) {
    std::perror("split_probe");
    return 1;
  }
  std::puts(seen);
  return 0;
}
