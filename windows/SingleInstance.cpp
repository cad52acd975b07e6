#include "windows/SingleInstance.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace zol {

namespace {

// The one request and its answer, each a line.
constexpr char ShowRequest[] = "show\n";
constexpr char ShowAnswer[] = "shown\n";
// Longer than any request: a peer that sends more without ending its line is not one of us.
constexpr qint64 LongestRequest = 64;
// A peer that connects and says nothing is let go after this long.
constexpr int PeerTimeoutMs = 5000;

} // namespace

TSingleInstance::~TSingleInstance() {
  Release();
}

bool TSingleInstance::Acquired() const {
  return FHeld;
}

const std::string &TSingleInstance::Problem() const {
  return FProblem;
}

const std::string &TSingleInstance::Notice() const {
  return FNotice;
}

const QString &TSingleInstance::ServerName() const {
  return FServerName;
}

TInstanceServer::TInstanceServer(const TSingleInstance &Lock, std::function<void()> OnShow)
    : FServer(std::make_unique<QLocalServer>()), FOnShow(std::move(OnShow)) {
  if (!Lock.Acquired() || Lock.ServerName().isEmpty()) {
    FProblem = QStringLiteral("the single-instance lock is not held");
    return;
  }
  // Only the lock's holder listens: a socket left by a copy that crashed is stale.
  QLocalServer::removeServer(Lock.ServerName());
  FServer->setSocketOptions(QLocalServer::UserAccessOption);
  if (!FServer->listen(Lock.ServerName())) {
    FProblem = FServer->errorString();
    return;
  }
  QLocalServer *Server = FServer.get();
  QObject::connect(Server, &QLocalServer::newConnection, Server, [this, Server]() {
    while (QLocalSocket *Peer = Server->nextPendingConnection()) {
      QObject::connect(Peer, &QLocalSocket::disconnected, Peer, &QObject::deleteLater);
      QTimer::singleShot(PeerTimeoutMs, Peer, [Peer]() { Peer->abort(); });
      QObject::connect(Peer, &QLocalSocket::readyRead, Peer, [this, Peer]() {
        if (!Peer->canReadLine()) {
          if (Peer->bytesAvailable() > LongestRequest)
            Peer->abort();
          return;
        }
        const QByteArray Request = Peer->readLine(LongestRequest);
        if (Request == ShowRequest) {
          if (FOnShow)
            FOnShow();
          Peer->write(ShowAnswer);
          Peer->flush();
        }
        Peer->disconnectFromServer();
      });
    }
  });
}

TInstanceServer::~TInstanceServer() = default;

bool TInstanceServer::Listening() const {
  return FServer->isListening();
}

const QString &TInstanceServer::Problem() const {
  return FProblem;
}

bool AskRunningCopyToShow(const TSingleInstance &Lock, int TimeoutMs) {
  if (Lock.ServerName().isEmpty())
    return false;
  const QDeadlineTimer Deadline(std::max(TimeoutMs, 0));
  const auto Left = [&Deadline]() { return static_cast<int>(Deadline.remainingTime()); };
  for (;;) {
    QLocalSocket Socket;
    Socket.connectToServer(Lock.ServerName());
    if (Socket.waitForConnected(Left())) {
      Socket.write(ShowRequest);
      if (!Socket.waitForBytesWritten(Left()))
        return false;
      while (!Socket.canReadLine() && Socket.bytesAvailable() <= LongestRequest &&
             !Deadline.hasExpired() && Socket.waitForReadyRead(Left())) {
      }
      return Socket.canReadLine() && Socket.readLine(LongestRequest) == ShowAnswer;
    }
    if (Deadline.hasExpired())
      return false;
    // Nobody listens yet: the holder may have just taken the lock and be opening its windows.
    QThread::msleep(static_cast<unsigned long>(std::min(50, Left())));
  }
}

} // namespace zol
