#include "XvfbDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);

// Waits up to `timeout` for the process to end; true when it did (and was reaped).
bool WaitForExit(pid_t pid, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || done < 0) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

XvfbDisplay::XvfbDisplay(Screen screen, std::vector<std::string> extraArguments) {
  Start(-1, screen, extraArguments);
}

XvfbDisplay::XvfbDisplay(int number, Screen screen, std::vector<std::string> extraArguments) {
  Start(number, screen, extraArguments);
}

XvfbDisplay::~XvfbDisplay() {
  Stop(SIGTERM);
}

void XvfbDisplay::Start(int number, const Screen& screen,
                        const std::vector<std::string>& extraArguments) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("Xvfb: no pipe");
  // The server writes its display number to descriptor 3 once it accepts connections.
  constexpr int kReadyFd = 3;
  std::vector<std::string> arguments = {"Xvfb"};
  if (number >= 0) arguments.push_back(":" + std::to_string(number));
  const std::string geometry = std::to_string(screen.width) + "x" + std::to_string(screen.height) +
                               "x" + std::to_string(screen.depth);
  for (const char* argument : {"-displayfd", "3", "-screen", "0"}) arguments.emplace_back(argument);
  arguments.push_back(geometry);
  for (const char* argument : {"-nolisten", "tcp", "-noreset"}) arguments.emplace_back(argument);
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], kReadyFd);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawned != 0) {
    close(pipeEnds[0]);
    pid_ = -1;
    throw std::runtime_error("Xvfb: cannot start (is it installed?)");
  }

  std::string reply;
  const auto deadline = Clock::now() + kStartTimeout;
  while (reply.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd ready{pipeEnds[0], POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) break;
    char buffer[16];
    const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
    if (n <= 0) break;  // the server ended before it was ready
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeEnds[0]);
  if (reply.find('\n') == std::string::npos) {
    Stop(SIGKILL);
    throw std::runtime_error("Xvfb " + geometry + " did not come up" +
                             (number >= 0 ? " on :" + std::to_string(number) : std::string()));
  }
  number_ = std::stoi(reply);
}

void XvfbDisplay::Stop(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  if (!WaitForExit(pid_, kStopTimeout)) {
    kill(pid_, SIGKILL);
    WaitForExit(pid_, kStopTimeout);
  }
  pid_ = -1;
}

void XvfbDisplay::Kill() {
  if (pid_ <= 0 || number_ < 0) return;
  Stop(SIGKILL);
  // A killed server leaves its lock and socket; both named after the number, which we own.
  std::error_code ignored;
  std::filesystem::remove("/tmp/.X" + std::to_string(number_) + "-lock", ignored);
  std::filesystem::remove("/tmp/.X11-unix/X" + std::to_string(number_), ignored);
}
