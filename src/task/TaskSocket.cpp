// TaskSocket.cpp: see TaskSocket.h.
#include "task/TaskSocket.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QVariant>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::task {

namespace {
// What one system read takes at most.
constexpr qint64 kReadStep = 64 * 1024;
}  // namespace

TaskSocket::TaskSocket(qintptr descriptor, QObject* parent) : QObject(parent), fd_(static_cast<int>(descriptor)) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
    peerAddress_.setAddress(reinterpret_cast<const sockaddr*>(&peer));
  readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(readNotifier_, &QSocketNotifier::activated, this, &TaskSocket::OnReadable);
  writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  connect(writeNotifier_, &QSocketNotifier::activated, this, &TaskSocket::OnWritable);
}

TaskSocket::~TaskSocket() { CloseDescriptor(); }

void TaskSocket::setReadBufferSize(qint64 size) {
  readLimit_ = size > 0 ? size : 0;
  UpdateReadNotifier();
}

void TaskSocket::setSocketOption(QAbstractSocket::SocketOption option, const QVariant& value) {
  if (option != QAbstractSocket::LowDelayOption || fd_ < 0) return;
  const int on = value.toInt() != 0 ? 1 : 0;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

QByteArray TaskSocket::read(qint64 maxSize) {
  if (maxSize <= 0 || readBuffer_.isEmpty()) return {};
  QByteArray taken;
  if (maxSize >= readBuffer_.size()) {
    taken.swap(readBuffer_);
  } else {
    taken = readBuffer_.left(maxSize);
    readBuffer_.remove(0, maxSize);
  }
  UpdateReadNotifier();  // room again below the limit
  return taken;
}

void TaskSocket::UpdateReadNotifier() {
  if (!readNotifier_) return;
  const bool room = readLimit_ == 0 || readBuffer_.size() < readLimit_;
  readNotifier_->setEnabled(fd_ >= 0 && !readFinished_ && state_ == QAbstractSocket::ConnectedState && room);
}

void TaskSocket::OnReadable() {
  bool got = false;
  bool ended = false;
  int failure = 0;
  while (fd_ >= 0 && !readFinished_ && (readLimit_ == 0 || readBuffer_.size() < readLimit_)) {
    qint64 step = kReadStep;
    if (readLimit_ > 0) step = std::min(step, readLimit_ - readBuffer_.size());
    const qsizetype before = readBuffer_.size();
    readBuffer_.resize(before + step);
    const ssize_t n = ::recv(fd_, readBuffer_.data() + before, static_cast<std::size_t>(step), 0);
    const int systemError = errno;
    readBuffer_.resize(before + (n > 0 ? n : 0));
    if (n > 0) {
      got = true;
      // A short read emptied what the system held: the notifier tells of
      // more (or of the end) without a read that only says "nothing yet".
      if (n < step) break;
      continue;
    }
    if (n == 0) {
      // The task shut its writing side (or closed): replies can still go
      // out until a write fails.
      readFinished_ = true;
      ended = true;
      break;
    }
    if (systemError == EINTR) continue;
    if (systemError != EAGAIN && systemError != EWOULDBLOCK) failure = systemError;
    break;
  }
  UpdateReadNotifier();
  QPointer<TaskSocket> self(this);
  if (got) emit readyRead();
  if (!self) return;
  if (failure != 0) {
    Fail(failure);
  } else if (ended) {
    emit readFinished();
  }
}

qint64 TaskSocket::write(const QByteArray& bytes) {
  if (fd_ < 0 || state_ != QAbstractSocket::ConnectedState) return -1;
  if (writeOffset_ > 0 && writeOffset_ == writeBuffer_.size()) {
    writeBuffer_.clear();
    writeOffset_ = 0;
  }
  writeBuffer_.append(bytes);
  // Sent from the event loop, so that the replies of one pass go together.
  writeNotifier_->setEnabled(true);
  return bytes.size();
}

bool TaskSocket::SendQueued(qint64* sent) {
  *sent = 0;
  while (fd_ >= 0 && writeOffset_ < writeBuffer_.size()) {
    const ssize_t n = ::send(fd_, writeBuffer_.constData() + writeOffset_,
                             static_cast<std::size_t>(writeBuffer_.size() - writeOffset_), MSG_NOSIGNAL);
    if (n > 0) {
      writeOffset_ += n;
      *sent += n;
      continue;
    }
    const int systemError = errno;
    if (n < 0 && systemError == EINTR) continue;
    if (n < 0 && (systemError == EAGAIN || systemError == EWOULDBLOCK)) break;
    Fail(n < 0 ? systemError : EPIPE);  // the task is gone (EPIPE, ECONNRESET)
    return false;
  }
  if (writeOffset_ == writeBuffer_.size()) {
    writeBuffer_.clear();
    writeOffset_ = 0;
    if (writeNotifier_) writeNotifier_->setEnabled(false);
  } else if (writeOffset_ > 1024 * 1024) {
    writeBuffer_.remove(0, writeOffset_);
    writeOffset_ = 0;
  }
  return true;
}

void TaskSocket::OnWritable() {
  qint64 sent = 0;
  if (!SendQueued(&sent)) return;
  QPointer<TaskSocket> self(this);
  if (sent > 0) emit bytesWritten(sent);
  if (self && state_ == QAbstractSocket::ClosingState && bytesToWrite() == 0) Finish();
}

bool TaskSocket::flush() {
  if (fd_ < 0 || bytesToWrite() == 0) return false;
  qint64 sent = 0;
  if (!SendQueued(&sent)) return false;
  if (sent > 0 && state_ == QAbstractSocket::ClosingState && bytesToWrite() == 0) {
    // Closing waited for the queue, and with the queue empty no notifier
    // comes to finish it. From the event loop: the caller may be in the
    // middle of handling the task's lines.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (state_ == QAbstractSocket::ClosingState && bytesToWrite() == 0) Finish();
        },
        Qt::QueuedConnection);
  }
  return sent > 0;
}

void TaskSocket::disconnectFromHost() {
  if (state_ != QAbstractSocket::ConnectedState) return;
  state_ = QAbstractSocket::ClosingState;
  UpdateReadNotifier();
  if (bytesToWrite() == 0) Finish();
}

void TaskSocket::Finish() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  CloseDescriptor();
  state_ = QAbstractSocket::UnconnectedState;
  emit disconnected();
}

void TaskSocket::abort() {
  CloseDescriptor();
  state_ = QAbstractSocket::UnconnectedState;
  writeBuffer_.clear();
  writeOffset_ = 0;
}

void TaskSocket::Fail(int systemError) {
  if (fd_ < 0) return;
  const bool gone = systemError == EPIPE || systemError == ECONNRESET;
  error_ = gone ? QAbstractSocket::RemoteHostClosedError : QAbstractSocket::NetworkError;
  errorString_ = gone ? QStringLiteral("The remote host closed the connection")
                      : QString::fromLocal8Bit(std::strerror(systemError));
  CloseDescriptor();
  state_ = QAbstractSocket::UnconnectedState;
  writeBuffer_.clear();
  writeOffset_ = 0;
  QPointer<TaskSocket> self(this);
  emit errorOccurred(error_);
  if (self) emit disconnected();
}

void TaskSocket::CloseDescriptor() {
  if (fd_ < 0) return;
  // The notifiers go before their descriptor.
  delete readNotifier_;
  readNotifier_ = nullptr;
  delete writeNotifier_;
  writeNotifier_ = nullptr;
  ::close(fd_);
  fd_ = -1;
}

TaskSocket* TaskListener::nextPendingTask() {
  if (pending_.empty()) return nullptr;
  TaskSocket* socket = pending_.front();
  pending_.pop_front();
  return socket;
}

void TaskListener::incomingConnection(qintptr descriptor) {
  pending_.push_back(new TaskSocket(descriptor, this));
  emit newConnection();
}

}  // namespace korvane::task
