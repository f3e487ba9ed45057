#include "shell/qt_single_instance.h"

#include <QLocalSocket>
#include <QPointer>

namespace vidorel {

SingleInstance::SingleInstance(std::filesystem::path socketPath)
    : socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  if (server_)
    server_->close();
}

bool SingleInstance::becomePrimary(Handler handler) {
  if (!handler)
    return becomePrimary(AsyncHandler());
  return becomePrimary([handler = std::move(handler)](const std::string& line, Reply reply) {
    reply(handler(line));
  });
}

bool SingleInstance::becomePrimary(AsyncHandler handler) {
  std::error_code ignored;
  std::filesystem::create_directories(socketPath_.parent_path(), ignored);
  std::filesystem::permissions(socketPath_.parent_path(), std::filesystem::perms::owner_all,
                               ignored);
  // The lock, not the socket, decides: a socket file left by a crashed run
  // must not keep the next start out, and two starts at once must not both
  // listen. QLockFile takes over locks whose process is gone.
  auto lock = std::make_unique<QLockFile>(QString::fromStdString(socketPath_.string() + ".lock"));
  lock->setStaleLockTime(0);
  if (!lock->tryLock(0))
    return false;

  QString name = QString::fromStdString(socketPath_.string());
  QLocalServer::removeServer(name);
  auto server = std::make_unique<QLocalServer>();
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(name))
    return false;

  handler_ = std::move(handler);
  QLocalServer* raw = server.get();
  QObject::connect(raw, &QLocalServer::newConnection, raw, [this, raw] {
    while (QLocalSocket* client = raw->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
        while (client->canReadLine()) {
          std::string line = client->readLine().toStdString();
          QPointer<QLocalSocket> sender = client;
          Reply reply = [sender](const std::string& answer) {
            if (!sender)
              return;
            sender->write(QByteArray::fromStdString(answer + "\n"));
            sender->flush();
          };
          if (handler_)
            handler_(line, std::move(reply));
          else
            reply("error");
        }
      });
    }
  });
  lock_ = std::move(lock);
  server_ = std::move(server);
  return true;
}

std::optional<std::string> SingleInstance::send(const std::filesystem::path& socketPath,
                                                const std::string& line, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(socketPath.string()));
  if (!socket.waitForConnected(timeoutMs))
    return std::nullopt;
  socket.write(QByteArray::fromStdString(line + "\n"));
  if (!socket.waitForBytesWritten(timeoutMs))
    return std::nullopt;
  QByteArray reply;
  while (!reply.contains('\n')) {
    if (!socket.waitForReadyRead(timeoutMs))
      return std::nullopt;
    reply += socket.readAll();
  }
  std::string text = reply.left(reply.indexOf('\n')).toStdString();
  socket.disconnectFromServer();
  return text;
}

} // namespace vidorel
