// HardeningTest.cpp: the task server against tasks that misbehave, over real
// TCP on 127.0.0.1: replies never read, floods of junk, bare connections,
// messages sent all at once, half-closed sockets, newcomers and web pages.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSignalSpy>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "TaskTestSupport.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Logger.h"

using korvane::test::LineClient;
using korvane::test::MakeModel;
using korvane::task::TaskServer;

namespace {

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  return 0;
}

// A task on a plain blocking socket, so that what it sends and does not read
// is held by the system, not by a Qt buffer in this process. A thread sends;
// the test reads (or does not) while the server's event loop runs here.
class RawTask {
 public:
  explicit RawTask(quint16 port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    // A small receive buffer of fixed size: the system then holds only a
    // little of what the task does not read.
    int size = 64 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawTask() {
    ::shutdown(fd_, SHUT_RDWR);
    if (sender_.joinable()) sender_.join();
    ::close(fd_);
  }
  bool Connected() const { return connected_; }
  // Sends text count times from a thread of its own; then, with
  // shutWriting, shuts the socket's writing side.
  void SendInBackground(std::string text, long count, bool shutWriting = false) {
    sender_ = std::thread([this, text = std::move(text), count, shutWriting] {
      for (long i = 0; i < count; ++i) {
        std::size_t done = 0;
        while (done < text.size()) {
          const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
          if (n <= 0) return;
          done += static_cast<std::size_t>(n);
        }
        sent_ += static_cast<long>(text.size());
      }
      if (shutWriting) ::shutdown(fd_, SHUT_WR);
      finished_ = true;
    });
  }
  // Reads what has arrived without blocking; returns the line ends seen.
  long Drain() {
    char buffer[65536];
    while (true) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      ended_ = ended_ || n == 0;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) lines_ += buffer[i] == '\n';
      if (text_.size() < 4096) text_.append(buffer, static_cast<std::size_t>(std::min<ssize_t>(n, 4096)));
    }
    return lines_;
  }
  // The server has closed the connection (all of it was read).
  bool Ended() const { return ended_; }
  // The first bytes that arrived.
  const std::string& Text() const { return text_; }
  void ShutdownWriting() { ::shutdown(fd_, SHUT_WR); }
  long Sent() const { return sent_; }
  bool Finished() const { return finished_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::thread sender_;
  std::atomic<long> sent_{0};
  std::atomic<bool> finished_{false};
  long lines_ = 0;
  bool ended_ = false;
  std::string text_;
};

class HardeningTest : public korvane::test::ServedModelTest<> {
 protected:
  int ExperimentFiles() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp.Path()))
      n += entry.path().filename().string().rfind("Example-", 0) == 0 && entry.path().extension() == ".mdb";
    return n;
  }
};

}  // namespace

TEST_F(HardeningTest, UnreadRepliesHoldTheTaskBackAndMemoryStaysBounded) {
  Serve();
  RawTask task(server->Port());
  ASSERT_TRUE(task.Connected());
  const long before = ResidentKiB();
  // Each junk line earns an ERROR reply of about 60 bytes: 150,000 of them
  // are far more replies than the system's buffers and ours together hold.
  task.SendInBackground("Z|1\r\n", 150000);
  QTest::qWait(1500);
  const long held = ResidentKiB() - before;
  EXPECT_LT(held, 64 * 1024) << "KiB";
  // Lines wait, unhandled, because their replies could not be sent.
  EXPECT_GT(server->WaitingLines(), 0u) << "the server read on although nobody read its replies";
  EXPECT_LE(server->WaitingLines(), 70000u);

  // Once the task reads, everything it sent is answered, in order.
  long replies = 0;
  (void)QTest::qWaitFor([&] {
    replies = task.Drain();
    return replies >= 150001;  // BATCH too
  }, 60000);
  EXPECT_EQ(replies, 150001);
  EXPECT_TRUE(task.Finished());
}

TEST_F(HardeningTest, AHalfClosedTaskGetsEveryReplyThenTheEnd) {
  Serve();
  QSignalSpy connection(server.get(), &TaskServer::connectionChanged);
  {
    // A whole trial, then the task shuts its writing side and only reads.
    RawTask task(server->Port());
    ASSERT_TRUE(task.Connected());
    task.SendInBackground("START|I1\r\nALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n", 1, true);
    EXPECT_TRUE(QTest::qWaitFor([&] {
      task.Drain();
      return task.Ended();
    }, 10000));
    EXPECT_EQ(task.Text().rfind("BATCH|100\r\nHELO|Korvane binary choice, simulation 1\r\nCUESIZE|I1|1\r\nDECISION|Choice|", 0),
              0u)
        << task.Text();
    EXPECT_EQ(task.Drain(), 4);
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 2000));
  ASSERT_GE(connection.count(), 2);
  EXPECT_FALSE(connection.last().at(0).toBool());
  EXPECT_EQ(korvane::test::Sql(server->ExperimentPath(), "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'"), "1");

  // Many lines, more replies than may wait unsent (ours and the system's
  // 4 MB send buffer), and the writing side shut before the task reads anything: once it reads, every reply comes, in
  // order, and then the end.
  RawTask flood(server->Port());
  ASSERT_TRUE(flood.Connected());
  flood.SendInBackground("Z|1\r\n", 250000, true);
  // The lines pile up once the unread replies fill the buffers (sooner or
  // later on a loaded machine).
  EXPECT_TRUE(QTest::qWaitFor([&] { return server->WaitingLines() > 0; }, 10000));
  EXPECT_TRUE(server->IsConnected());
  EXPECT_TRUE(QTest::qWaitFor([&] {
    flood.Drain();
    return flood.Ended();
  }, 30000));
  EXPECT_EQ(flood.Drain(), 250001);
  EXPECT_TRUE(flood.Finished());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 2000));

  // A task that closes outright ends its connection as before, and the
  // server takes the next one.
  {
    auto gone = Started();
    gone->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
    gone->socket.close();
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return server->Status() != "RUN"; }, 5000));
  EXPECT_FALSE(server->IsConnected());
  auto next = Started();
  next->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(next->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|Choice|", 0), 0u);
}

TEST_F(HardeningTest, AFloodOfJunkLeavesAShortLog) {
  Serve();
  RawTask task(server->Port());
  ASSERT_TRUE(task.Connected());
  // 50,000 lines of junk, read as they are answered.
  task.SendInBackground("QQQQQ\r\n", 50000);
  long replies = 0;
  (void)QTest::qWaitFor([&] {
    replies = task.Drain();
    return replies >= 50001;
  }, 30000);
  EXPECT_EQ(replies, 50001);
  korvane::StartNewLog();  // flushes the log of the flood
  std::uintmax_t logBytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(temp.File("logs"))) logBytes += entry.file_size();
  EXPECT_LT(logBytes, 20000u);
  EXPECT_EQ(server->LastError().toStdString(), "Unknown command QQQQQ from task");
}

TEST_F(HardeningTest, LongUnknownLinesAreLoggedAndAnsweredShort) {
  Serve();
  QSignalSpy lines(server.get(), &TaskServer::logLine);
  LineClient task(server->Port(), true);
  const std::string junk(60000, 'Z');
  const std::string reply = task.Ask(junk);
  EXPECT_EQ(reply, "ERROR|Korvane does not understand the command " + std::string(200, 'Z') + "... (60000 bytes)");
  int mentions = 0;
  for (const auto& signal : lines) {
    const std::string text = signal[0].toString().toStdString();
    EXPECT_LT(text.size(), 400u) << text.substr(0, 80);
    mentions += text.find("ZZZZ") != std::string::npos;
  }
  EXPECT_EQ(mentions, 1);  // one line per unknown message
}

TEST_F(HardeningTest, BareConnectionsMakeNoExperimentCopy) {
  Serve();
  for (int i = 0; i < 25; ++i) {
    LineClient bare(server->Port(), true);
    EXPECT_EQ(bare.batch.value_or(""), "BATCH|100");
  }
  QTest::qWait(100);
  EXPECT_EQ(ExperimentFiles(), 0);
  EXPECT_EQ(server->ConnectionCount(), 25);
  // The first START of a task makes the copy.
  auto task = Started();
  EXPECT_EQ(ExperimentFiles(), 1);
  EXPECT_FALSE(server->ExperimentPath().empty());
}

TEST_F(HardeningTest, MessagesSentTogetherAreHandledInOrder) {
  Serve();
  QSignalSpy stopped(server.get(), &TaskServer::simulationStopped);
  auto task = Started();
  // The two cues of a trial and the STOP in one send: the trial ends with
  // its DECISION before the STOP takes effect.
  task->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\nSTOP\r\n");
  EXPECT_EQ(task->Line().rfind("DECISION|Choice|", 0), 0u);
  EXPECT_TRUE(QTest::qWaitFor([&] { return stopped.count() == 1; }, 2000));
  EXPECT_EQ(server->Executor(), nullptr);

  // The same with RESET: the DECISION, then the new subject's HELO.
  task->Send("START|I1");
  EXPECT_EQ(task->Line(), "HELO|Korvane binary choice, simulation 2");
  EXPECT_EQ(task->Line(), "CUESIZE|I1|1");
  task->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\nRESET|I1\r\nbogus\r\n");
  EXPECT_EQ(task->Line().rfind("DECISION|Choice|", 0), 0u);
  EXPECT_EQ(task->Line(), "HELO|Korvane binary choice, simulation 3");
  EXPECT_EQ(task->Line(), "CUESIZE|I1|1");
  EXPECT_EQ(task->Line(), "ERROR|Korvane does not understand the command bogus");
}

TEST_F(HardeningTest, ANewcomerTakesOverOnlyWithATaskMessage) {
  Serve();
  auto first = Started();

  // A web page's request: the newcomer is closed, the task goes on.
  LineClient web(server->Port(), true);
  EXPECT_EQ(web.batch.value_or(""), "BATCH|100");
  web.SendRaw("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_TRUE(web.WaitClosed());
  EXPECT_TRUE(first->Connected());
  first->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  EXPECT_EQ(first->Line().rfind("DECISION|", 0), 0u);

  // A newcomer that sends nothing changes nothing either.
  LineClient idle(server->Port(), true);
  QTest::qWait(100);
  EXPECT_TRUE(first->Connected());

  // A task's first message takes over.
  LineClient second(server->Port(), true);
  EXPECT_TRUE(idle.WaitClosed());  // only the newest newcomer waits
  second.Send("START|I1");
  EXPECT_EQ(second.Line(), "HELO|Korvane binary choice, simulation 2");
  EXPECT_TRUE(first->WaitClosed());
  EXPECT_EQ(ExperimentFiles(), 2);

  // With no task connected, a request that looks like HTTP closes its
  // connection before anything is written.
  second.socket.abort();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 2000));
  LineClient page(server->Port(), true);
  page.SendRaw("POST /x HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(page.WaitClosed());
  EXPECT_EQ(ExperimentFiles(), 2);
}

TEST_F(HardeningTest, ListeningBeyondLoopbackIsAWarning) {
  model = MakeModel(temp.File("Any.mdb"));
  korvane::task::ServerOptions options;
  options.modelPath = model;
  options.port = 0;
  options.listenAddress = "0.0.0.0";
  TaskServer any(options);
  QSignalSpy lines(&any, &TaskServer::logLine);
  ASSERT_TRUE(any.Start());
  bool warned = false;
  for (const auto& signal : lines)
    warned |= signal[1].toInt() == 2 && signal[0].toString().startsWith("Warning: listening at 0.0.0.0");
  EXPECT_TRUE(warned);
}

TEST_F(HardeningTest, TwoServersOnOneModelNeverShareAnExperimentFile) {
  Serve();
  korvane::task::ServerOptions options;
  options.modelPath = model;
  options.port = 0;
  options.executor.clock = korvane::engine::ClockKind::Simulated;
  TaskServer other(options);
  ASSERT_TRUE(other.Start());
  // A file another program created a moment ago is never taken over.
  { std::ofstream(temp.File("Example-" + korvane::TodayStamp() + "-1.mdb")) << "someone else's"; }
  LineClient a(server->Port(), true);
  LineClient b(other.Port(), true);
  a.Send("START|I1");
  b.Send("START|I1");
  EXPECT_EQ(a.Line(), "HELO|Korvane binary choice, simulation 1");
  EXPECT_EQ(b.Line(), "HELO|Korvane binary choice, simulation 1");
  EXPECT_NE(server->ExperimentPath(), other.ExperimentPath());
  EXPECT_EQ(server->ExperimentPath(), temp.File("Example-" + korvane::TodayStamp() + "-2.mdb"));
  EXPECT_EQ(other.ExperimentPath(), temp.File("Example-" + korvane::TodayStamp() + "-3.mdb"));
  EXPECT_EQ(a.Line(), "CUESIZE|I1|1");
  EXPECT_EQ(b.Line(), "CUESIZE|I1|1");
  a.SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  b.SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  EXPECT_EQ(a.Line().rfind("DECISION|", 0), 0u);
  EXPECT_EQ(b.Line().rfind("DECISION|", 0), 0u);
}
