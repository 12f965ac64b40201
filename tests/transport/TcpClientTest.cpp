#include "transport/TcpClient.h"

#include "platform/Time.h"
#include "support/LoopbackTcp.h"

#include <netdb.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

const QByteArray kDrawer("\x1B\x70\x00\x18\x18", 5);

TEST(TcpClient, SendsExactlyTheBytesThenCloses) {
  test::LoopbackListener listener;
  TTcpClient client;
  client.SetHost(QStringLiteral("127.0.0.1"));
  client.SetPort(listener.Port());
  client.Connect(2000);
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.Send(kDrawer.constData(), kDrawer.size()), 5);
  client.Disconnect();
  EXPECT_FALSE(client.Connected());
  bool closed = false;
  EXPECT_EQ(listener.AcceptAndReadAll(5000, &closed), kDrawer);
  EXPECT_TRUE(closed);
}

// A printer that says something as the connection opens and reads late. Closing with its bytes
// unread would reset the connection, and a reset right behind the command can make a small TCP
// stack drop the command: the client ends its stream in order instead.
TEST(TcpClient, DisconnectEndsTheStreamInOrderEvenWithUnreadBytes) {
  test::LoopbackListener listener;
  TTcpClient client;
  client.SetHost(QStringLiteral("127.0.0.1"));
  client.SetPort(listener.Port());
  client.Connect(2000);
  const int printer = listener.Accept(5000);
  ASSERT_GE(printer, 0);
  ASSERT_EQ(::send(printer, "\x12\x34", 2, MSG_NOSIGNAL), 2);
  EXPECT_EQ(client.Send(kDrawer.constData(), kDrawer.size()), 5);
  client.Disconnect();
  QByteArray received;
  char buffer[64];
  ssize_t n = 0;
  while ((n = ::recv(printer, buffer, sizeof buffer, 0)) > 0)
    received.append(buffer, n);
  EXPECT_EQ(n, 0) << "the stream ends in order, errno " << errno;
  EXPECT_EQ(received, kDrawer);
  ::close(printer);
}

TEST(TcpClient, ConnectsAgainAfterDisconnect) {
  test::LoopbackListener listener;
  TTcpClient client;
  client.SetHost(QStringLiteral("localhost"));
  client.SetPort(listener.Port());
  for (char c : {'a', 'b'}) {
    client.Connect(2000);
    EXPECT_EQ(client.Send(&c, 1), 1);
    client.Disconnect();
    EXPECT_EQ(listener.AcceptAndReadAll(5000), QByteArray(1, c));
  }
}

TEST(TcpClient, SecondConnectWhileConnectedIsRefused) {
  test::LoopbackListener listener;
  TTcpClient client;
  client.SetHost(QStringLiteral("127.0.0.1"));
  client.SetPort(listener.Port());
  client.Connect(2000);
  try {
    client.Connect(2000);
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Already connected.");
  }
  EXPECT_TRUE(client.Connected());
}

TEST(TcpClient, RefusedConnectionNamesTheSocketError) {
  test::RefusingPort port;
  TTcpClient client;
  client.SetHost(QStringLiteral("127.0.0.1"));
  client.SetPort(port.Port());
  const platform::Deadline quick = platform::Deadline::In(1000);
  try {
    client.Connect(2000);
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), ECONNREFUSED);
    EXPECT_EQ(QString::fromStdString(e.what()),
              QStringLiteral("Socket Error # %1\nConnection refused.").arg(ECONNREFUSED));
  }
  EXPECT_FALSE(quick.Expired()) << "a refusal is reported at once, not after the time-out";
  EXPECT_FALSE(client.Connected());
}

TEST(TcpClient, FullBacklogTimesOutAndTheClientStaysUsable) {
  test::LoopbackListener listener(0);
  ASSERT_TRUE(listener.FillBacklog());
  TTcpClient client;
  client.SetHost(QStringLiteral("127.0.0.1"));
  client.SetPort(listener.Port());
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::uint32_t start = platform::GetTickCount();
    try {
      client.Connect(300);
      FAIL() << "no exception";
    } catch (const ESocketError& e) {
      EXPECT_STREQ(e.what(), "Connect timed out.");
    }
    EXPECT_GE(platform::GetTickCount() - start, 290u);
    EXPECT_FALSE(client.Connected());
  }
}

TEST(TcpClient, EmptyHostIsNotFound) {
  TTcpClient client;
  client.SetPort(9100);
  try {
    client.Connect(2000);
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(QString::fromStdString(e.what()), QStringLiteral("Host not found."));
    EXPECT_EQ(e.Code(), EAI_NONAME);
  }
}

TEST(TcpClient, SendWithoutConnectionWritesNothing) {
  TTcpClient client;
  EXPECT_EQ(client.Send("x", 1), -1);
  client.Disconnect();
}

TEST(SocketErrorText, NamesErrnoAndLookupErrors) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {ECONNREFUSED, "Connection refused."},
      {ENETUNREACH, "Network is unreachable."},
      {EHOSTUNREACH, "No route to host."},
      {EAI_NONAME, "Host not found."},
      {EAI_AGAIN, "Temporary failure in name resolution."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SocketErrorText(c.code), QLatin1String(c.text)) << c.code;
  EXPECT_FALSE(SocketErrorText(EAI_FAIL).isEmpty());
  EXPECT_EQ(SocketErrorText(99999), QStringLiteral("Unknown error 99999."));
}

}  // namespace
}  // namespace xv4
