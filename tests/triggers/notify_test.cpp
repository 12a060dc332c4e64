#include "triggers/notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/app_error.hpp"
#include "base/unique_fd.hpp"
#include "support/error_of.hpp"

namespace snapwright::triggers {
namespace {

using testing::error_of;
// A datagram socket bound to `name` (NOTIFY_SOCKET syntax), and the one message it receives.
class Listener {
  public:
    explicit Listener(const std::string& name) : fd_(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        const NotifyAddress address = notify_address(name);
        if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address.address),
                   address.length) != 0) {
            throw std::runtime_error("bind " + name);
        }
    }
    std::string receive() {
        char buffer[512];
        const ssize_t got = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return got < 0 ? "(nothing)" : std::string(buffer, static_cast<std::size_t>(got));
    }

  private:
    base::UniqueFd fd_;
};

// NOTIFY_SOCKET for the life of the object; the variable is unset again afterwards.
struct NotifySocketVariable {
    explicit NotifySocketVariable(const std::string& value) {
        ::setenv("NOTIFY_SOCKET", value.c_str(), 1);
    }
    ~NotifySocketVariable() { ::unsetenv("NOTIFY_SOCKET"); }
};

// The filesystem form is shown by the watch command's own test.
TEST(NotifyReady, SendsOneDatagramToAnAbstractSocket) {
    const std::string abstract = "snapwright-test-" + std::to_string(::getpid());
    Listener by_name("@" + abstract);
    {
        const NotifySocketVariable variable("@" + abstract);
        notify_ready(2);
    }
    EXPECT_EQ(by_name.receive(), "READY=1\nSTATUS=Watching 2 snapshot directories");

    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_NO_THROW(notify_ready(1));
    {
        const NotifySocketVariable variable("");
        EXPECT_EQ(error_of([] { notify_ready(1); }), "NOTIFY_SOCKET is empty");
    }
}

TEST(NotifyReady, AddressFitsTheSocketPathField) {
    const std::string too_long = "NOTIFY_SOCKET path is too long";
    const NotifyAddress path = notify_address("/" + std::string(106, 'p'));
    EXPECT_EQ(path.length, 2u + 108u);
    EXPECT_EQ(path.address.sun_path[0], '/');
    EXPECT_EQ(path.address.sun_path[107], '\0');
    EXPECT_EQ(error_of([] { (void)notify_address("/" + std::string(107, 'p')); }), too_long);

    const NotifyAddress abstract = notify_address("@" + std::string(107, 'a'));
    EXPECT_EQ(abstract.length, 2u + 108u);
    EXPECT_EQ(abstract.address.sun_path[0], '\0');
    EXPECT_EQ(abstract.address.sun_path[1], 'a');
    EXPECT_EQ(error_of([] { (void)notify_address("@" + std::string(108, 'a')); }), too_long);
}

}  // namespace
}  // namespace snapwright::triggers
