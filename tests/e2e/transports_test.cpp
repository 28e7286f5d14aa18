// Both ways in short through every transport of the bed, with TLS, and
// once plain: each converges, and the way it went leaves its trace.
#include <fstream>
#include <sstream>

#include "e2e_fixture.h"
#include "support/relay_stand_in.h"

namespace e2e {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TransportCase {
  const char* name;
  Transport transport;
  bool tls;
};

void PrintTo(const TransportCase& c, std::ostream* os) { *os << c.name; }

class Transports : public E2eTest, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(Transports, ShortSyncBothWays) {
  SyncBedOptions options = Defaults();
  options.transport = GetParam().transport;
  options.tls = GetParam().tls;
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  ShortBothWays(bed);
  bed.Finish();
  EXPECT_GT(bed.counting_relay().bytes_up(), 5u << 20);
  EXPECT_GT(bed.counting_relay().bytes_down(), 5u << 20);

  const std::vector<json> tls = bed.JournalOf("tls");
  EXPECT_EQ(GetParam().tls, !tls.empty());
  const std::string target = "127.0.0.1:" + std::to_string(bed.counting_relay().port());
  const int tunnel_port = bed.tunnel() != nullptr ? bed.tunnel()->port() : 0;
  std::vector<testsupport::relay::Seen> upgrades;
  if (bed.tunnel() != nullptr) upgrades = bed.tunnel()->Connections();
  bed.StopTransport();
  switch (GetParam().transport) {
    case Transport::kTinyproxyBasic:
    case Transport::kTinyproxyRelay: {
      const int port = GetParam().transport == Transport::kTinyproxyRelay ? tunnel_port
                                                                           : bed.counting_relay().port();
      const std::string log = ReadText(bed.proxy_folder() + "/tp.log");
      EXPECT_NE(std::string::npos, log.find("CONNECT 127.0.0.1:" + std::to_string(port))) << log;
      break;
    }
    case Transport::kSquidNtlm: {
      // Squid's log escapes the backslash of DOM1\bob.
      const std::string log = ReadText(bed.proxy_folder() + "/access.log");
      bool seen = false;
      std::istringstream lines(log);
      for (std::string line; std::getline(lines, line);) {
        seen = seen || (line.find("TCP_TUNNEL/200") != std::string::npos &&
                        line.find("DOM1\\\\bob") != std::string::npos);
      }
      EXPECT_TRUE(seen) << log;
      break;
    }
    default:
      break;
  }
  if (GetParam().transport == Transport::kRelay || GetParam().transport == Transport::kTinyproxyRelay) {
    bool upgraded = false;
    for (const auto& s : upgrades) upgraded = upgraded || (s.valid && s.target == target);
    EXPECT_TRUE(upgraded) << "no upgrade to " << target;
  }
}

INSTANTIATE_TEST_SUITE_P(E2e, Transports,
                         ::testing::Values(TransportCase{"Direct", Transport::kDirect, true},
                                           TransportCase{"Plain", Transport::kDirect, false},
                                           TransportCase{"TinyproxyBasic", Transport::kTinyproxyBasic, true},
                                           TransportCase{"SquidNtlm", Transport::kSquidNtlm, true},
                                           TransportCase{"Relay", Transport::kRelay, true},
                                           TransportCase{"TinyproxyThenRelay", Transport::kTinyproxyRelay, true}),
                         [](const ::testing::TestParamInfo<TransportCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
