#include "session/secret_service.h"

#include <gtest/gtest.h>

namespace {

struct BusCase {
    const char* address;
    bool local;
};

class SessionBusAddress : public testing::TestWithParam<BusCase> {};

// The password may travel as it is only where the bus is a local socket.
TEST_P(SessionBusAddress, IsLocalOnlyWhenEveryEntryIsALocalSocket) {
    EXPECT_EQ(platform::SessionBusIsLocal(GetParam().address), GetParam().local) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(Addresses, SessionBusAddress,
                         testing::Values(BusCase{nullptr, true}, BusCase{"", true},
                                         BusCase{"unix:path=/run/user/1000/bus", true},
                                         BusCase{"unix:abstract=/tmp/dbus-x,guid=0123", true},
                                         BusCase{"autolaunch:", true}, BusCase{"unix:path=/a;unix:tmpdir=/tmp", true},
                                         BusCase{"tcp:host=10.0.0.2,port=7000", false},
                                         BusCase{"unix:path=/a;tcp:host=10.0.0.2,port=7000", false},
                                         BusCase{"nonce-tcp:host=localhost,port=7000", false}));

}  // namespace
