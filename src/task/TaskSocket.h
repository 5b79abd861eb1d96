// TaskSocket.h: one accepted TCP connection of a task, and the listener that
// accepts them.
//
// QTcpSocket treats the end of what the peer sends as the end of the
// connection: it closes its descriptor and drops the replies not yet sent.
// A task may shut down its writing side once it has sent its last lines and
// still wait for the replies, so the server owns the descriptor itself: the
// reading side and the writing side end separately. The end of reading is
// ReadFinished (and the readFinished signal); the connection ends when the
// server closes it (disconnectFromHost writes what is queued first), or when
// the system reports an error, a failed write to a task that has gone
// included (then errorOccurred and disconnected).
//
// The member names follow QTcpSocket's, so the server reads the same either
// way. Everything runs on the owning thread through socket notifiers; nothing
// blocks.
#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QVariant>
#include <deque>

class QSocketNotifier;

namespace korvane::task {

class TaskSocket : public QObject {
  Q_OBJECT
 public:
  // Takes ownership of an accepted, connected descriptor.
  explicit TaskSocket(qintptr descriptor, QObject* parent = nullptr);
  ~TaskSocket() override;

  // Bytes read and not yet taken; read() takes at most maxSize of them.
  qint64 bytesAvailable() const { return readBuffer_.size(); }
  QByteArray read(qint64 maxSize);
  // Queues bytes to be sent; returns their count, or -1 when the connection
  // cannot be written any more.
  qint64 write(const QByteArray& bytes);
  // Hands what is queued to the system now, as far as it takes it without
  // waiting; true when something was sent. No bytesWritten follows for what
  // it sent: the caller knows (what it cannot send now goes out, and is
  // told, when the system takes it).
  bool flush();
  // Bytes queued and not yet taken by the system.
  qint64 bytesToWrite() const { return writeBuffer_.size() - writeOffset_; }
  // At most this much is read ahead from the system (0: no limit).
  void setReadBufferSize(qint64 size);
  // Only LowDelayOption (TCP_NODELAY) is acted on.
  void setSocketOption(QAbstractSocket::SocketOption option, const QVariant& value);

  // ConnectedState until disconnectFromHost (ClosingState while queued
  // bytes go out) or an error (UnconnectedState). The end of reading does
  // not change it: replies can still be written.
  QAbstractSocket::SocketState state() const { return state_; }
  // The task has sent everything it will send (its writing side is shut).
  bool ReadFinished() const { return readFinished_; }
  QHostAddress peerAddress() const { return peerAddress_; }
  QAbstractSocket::SocketError error() const { return error_; }
  QString errorString() const { return errorString_; }

  // Stops reading, sends what is queued, then closes; disconnected follows.
  void disconnectFromHost();
  // Closes at once, dropping what is queued; no signal.
  void abort();

 signals:
  void readyRead();
  void readFinished();
  void bytesWritten(qint64 bytes);
  void errorOccurred(QAbstractSocket::SocketError error);
  void disconnected();

 private:
  void OnReadable();
  void OnWritable();
  // Sends what the system takes now; false when the connection failed.
  bool SendQueued(qint64* sent);
  void UpdateReadNotifier();
  // Ends the connection after a system error; errorOccurred and disconnected.
  void Fail(int systemError);
  void CloseDescriptor();
  void Finish();

  int fd_ = -1;
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  QByteArray readBuffer_;
  QByteArray writeBuffer_;
  qint64 writeOffset_ = 0;  // of writeBuffer_, already sent
  qint64 readLimit_ = 0;
  bool readFinished_ = false;
  QAbstractSocket::SocketState state_ = QAbstractSocket::ConnectedState;
  QAbstractSocket::SocketError error_ = QAbstractSocket::UnknownSocketError;
  QString errorString_;
  QHostAddress peerAddress_;
};

// A QTcpServer whose accepted connections are TaskSockets: newConnection is
// emitted for each, nextPendingTask takes them.
class TaskListener : public QTcpServer {
 public:
  explicit TaskListener(QObject* parent = nullptr) : QTcpServer(parent) {}
  TaskSocket* nextPendingTask();

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  std::deque<TaskSocket*> pending_;
};

}  // namespace korvane::task
