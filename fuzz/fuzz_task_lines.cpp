// fuzz_task_lines.cpp: arbitrary bytes from a task, through a real socket,
// into the line handler of a served model.
//
// The server runs the example model on a real experiment copy in a temporary
// folder. Each input is written to a TCP connection on 127.0.0.1 that reads
// its replies only now and then (every 64 inputs, or when the system will
// take no more bytes), so the server's handling of unread replies, its
// ordering and its slices are part of every run. Then the event loop runs
// (bounded), and a STOP resets the simulation so that inputs do not pile up
// state. A connection the server closed (an HTTP-looking first line, a
// failure) is replaced; every few thousand inputs the task reconnects, so
// the experiment starts afresh and the database does not grow without bound.
// Now and then the task shuts its writing side after an input and reads
// until the server closes (every reply must come, then the end).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "model/ExampleModels.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Logger.h"

namespace {

struct Fixture {
  Fixture() {
    static int argc = 1;
    static char name[] = "fuzz_task_lines";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
    folder = std::filesystem::temp_directory_path() / ("korvane-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    korvane::SetDialogs(std::make_shared<korvane::HeadlessDialogs>(false));
    korvane::SetLogFolder((folder / "logs").string());
    const std::string model = (folder / "Fuzz.mdb").string();
    korvane::model::CreateExampleModel("binary-choice", model);
    korvane::task::ServerOptions options;
    options.modelPath = model;
    options.port = 0;
    options.executor.clock = korvane::engine::ClockKind::Simulated;
    options.executor.seed = 1;
    options.lineLimit = 4096;
    server = std::make_unique<korvane::task::TaskServer>(options);
    if (!server->Start()) std::abort();
    Connect();
  }
  ~Fixture() {
    if (fd >= 0) ::close(fd);
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  void Connect() {
    if (fd >= 0) ::close(fd);
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server->Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    for (int i = 0; i < 1000 && !server->IsConnected(); ++i) QCoreApplication::processEvents();
    Send("START|I1\r\n");
  }
  // Reads what has arrived; false once the server has closed.
  bool Drain() {
    char buffer[65536];
    while (true) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return false;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    }
  }
  // Shuts the writing side and reads until the server closes; a server that
  // never closes is a hang (libFuzzer's -timeout).
  void HalfClose() {
    ::shutdown(fd, SHUT_WR);
    while (Drain()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  // Writes all of bytes, reading replies only when the system takes no more.
  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // closed by the server
      Drain();
      QCoreApplication::processEvents();
    }
  }
  void Renew() {
    const std::string old = server->ExperimentPath();
    Connect();
    std::error_code ec;
    if (!old.empty()) std::filesystem::remove(old, ec);
  }

  std::unique_ptr<QCoreApplication> app;
  std::filesystem::path folder;
  std::unique_ptr<korvane::task::TaskServer> server;
  long inputs = 0;
  int fd = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  if (!fixture.server->IsConnected()) fixture.Connect();
  fixture.Send(std::string_view(reinterpret_cast<const char*>(data), size));
  fixture.Send("\r\nSTOP\r\nSTART|I1\r\n");
  for (int i = 0; i < 1000; ++i) QCoreApplication::processEvents();
  if (++fixture.inputs % 64 == 0) fixture.Drain();
  if (fixture.inputs % 5000 == 0) {
    fixture.Renew();
  } else if (fixture.inputs % 499 == 0) {
    fixture.HalfClose();
    fixture.Connect();
  }
  return 0;
}
