// The whole way of a connection request: the agent's push on the desktop link's listener,
// the confirmation dialog, and the verdict written back on the agent's waiting connection.
#include "desktop/app/connect/connect_dlg.h"
#include "desktop/app/connect/connect_requests.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/ui/language_source.h"

#include <QKeyEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/wire/desktop/desktop_wire.h"
#include "common/wire/wire.h"
#include "tests/desktop/app/connect/connect_language.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/net_io.h"

namespace {

using namespace ks::desktop;
namespace wire = ks::wire;
namespace dw = ks::wire::desktop;

// The main window's part of the link's listener: requests go to the queue.
class Forwarder : public IUIDataCallBack {
 public:
  explicit Forwarder(ConnectRequests* requests) : requests_(requests) {}
  void OnAddShareFolder(const std::string&) override {}
  void OnTransferItem(const TransferLogItem*) override {}
  void OnConnectRequest(const ConnectRequestInfo* request) override { requests_->OnConnectRequest(request); }
  void OnNetConnected() override {}
  void OnNetDisconnected() override {}

 private:
  ConnectRequests* requests_;
};

class ConnectAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::KeyLanguage>());
    UIDataOptions options;
    options.agentPort = ks::fake::FreeTcpPort();
    options.listenPort = listenPort_;
    options.watchNetwork = false;
    link_ = CUIData::Create(options);
    ASSERT_NE(nullptr, link_);
    requests_ = std::make_unique<ConnectRequests>(link_);
    forwarder_ = std::make_unique<Forwarder>(requests_.get());
    link_->SetCallBack(forwarder_.get());
  }
  void TearDown() override {
    if (link_) {
      link_->ClearCallBack();
      link_->Release();
    }
    requests_.reset();
    kstest::ProcessEvents();
    ks::ui::SetLanguageSource(nullptr);
  }

  // The agent's side: connects, pushes the ask with `word`, keeps the connection open.
  int Push(uint32_t word, const char* sender, const char* network) {
    uint8_t body[192] = {};
    std::memcpy(body + 64, sender, std::strlen(sender));
    std::memcpy(body + 128, network, std::strlen(network));
    const std::vector<uint8_t> ask = dw::MakeDeviceLoginAsk(word, body, sizeof body);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(listenPort_);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      ::close(fd);
      return -1;
    }
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    return fd;
  }
  // The verdict word of the 12-byte answer; -1 when none came.
  static long long Verdict(int fd) {
    std::vector<uint8_t> out;
    uint8_t buf[64];
    while (out.size() < 12) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    if (out.size() != 12) return -1;
    return wire::GetU32(out.data() + 8);
  }
  CConnectDlg* WaitForDialog(const char* sender) {
    kstest::WaitUntil([&] {
      CConnectDlg* d = requests_->CurrentDialog();
      return d != nullptr && d->isVisible() && std::strcmp(d->Request().sender, sender) == 0;
    });
    CConnectDlg* d = requests_->CurrentDialog();
    return d != nullptr && std::strcmp(d->Request().sender, sender) == 0 ? d : nullptr;
  }

  uint16_t listenPort_ = ks::fake::FreeTcpPort();
  IUIData* link_ = nullptr;
  std::unique_ptr<ConnectRequests> requests_;
  std::unique_ptr<Forwarder> forwarder_;
};

TEST_F(ConnectAnswer, TheOwnersVerdictReachesTheWaitingAgent) {
  int a = Push(0x11223344, "phone-a", "home");
  ASSERT_GE(a, 0);
  CConnectDlg* dlg = WaitForDialog("phone-a");
  ASSERT_NE(nullptr, dlg);
  EXPECT_EQ("CONNECT_STATIC_SENDER|phone-a", dlg->control(CConnectDlg::kSenderId)->text());
  EXPECT_EQ("CONNECT_STATIC_NET|home", dlg->control(CConnectDlg::kNetworkId)->text());
  QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
  EXPECT_EQ(0, Verdict(a));  // accepted

  int b = Push(0x55667788, "phone-b", "home");
  ASSERT_GE(b, 0);
  dlg = WaitForDialog("phone-b");
  ASSERT_NE(nullptr, dlg);
  QTest::keyClick(dlg, Qt::Key_Escape);
  EXPECT_EQ(1, Verdict(b));  // refused
}

TEST_F(ConnectAnswer, AWaitingRequestIsRefusedBeforeTheAgentGivesUp) {
  int a = Push(1, "first", "n");
  ASSERT_GE(a, 0);
  ASSERT_NE(nullptr, WaitForDialog("first"));
  int b = Push(2, "second", "n");
  ASSERT_GE(b, 0);
  ASSERT_TRUE(kstest::WaitUntil([&] { return requests_->RequestsWaiting(); }));
  for (int i = 0; i < 25; ++i) requests_->Tick();
  // Both had waited 25 s: the one on screen and the one behind it are refused.
  EXPECT_EQ(1, Verdict(a));
  EXPECT_EQ(1, Verdict(b));
}

TEST_F(ConnectAnswer, AnAnswerToAClosedConnectionIsDropped) {
  int a = Push(9, "gone", "n");
  ASSERT_GE(a, 0);
  CConnectDlg* dlg = WaitForDialog("gone");
  ASSERT_NE(nullptr, dlg);
  ::shutdown(a, SHUT_RDWR);
  ::close(a);
  // Writing to the closed connection must neither kill the process nor block the flow.
  QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
  kstest::ProcessEvents();
  int b = Push(10, "next", "n");
  ASSERT_GE(b, 0);
  dlg = WaitForDialog("next");
  ASSERT_NE(nullptr, dlg);
  QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
  EXPECT_EQ(0, Verdict(b));
}

}  // namespace
