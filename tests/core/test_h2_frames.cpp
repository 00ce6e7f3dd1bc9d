// The frame engine's server-role preface, which only the connection object
// (not H2Codec) switches on.
#include <string>
#include <vector>

#include "check.hpp"
#include "h2/frames.hpp"

using namespace quillon::h2;

TEST_CASE("h2 frames: the server role matches the client preface before any frame") {
  std::string ping;
  const char payload[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  encode_ping(payload, false, ping);
  const std::string wire = std::string(kPreface) + ping;

  for (size_t split : {size_t{0}, size_t{10}, size_t{24}, size_t{30}}) {
    Engine e(false);
    e.expect_preface();
    std::vector<Frame> out;
    if (split) CHECK(!e.receive(std::string_view(wire).substr(0, split), out));
    CHECK(out.empty());
    CHECK(!e.receive(std::string_view(wire).substr(split), out));
    CHECK_EQ(out.size(), 1u);
    CHECK(std::holds_alternative<PingFrame>(out[0]));
    CHECK_EQ(e.buffered(), 0u);
  }

  Engine bad(false);
  bad.expect_preface();
  std::vector<Frame> out;
  CHECK(!bad.receive("PRI * HTTP/2", out));
  Fault f = bad.receive(ping, out);
  CHECK(f.kind() == Fault::Kind::Protocol && f.reason() == kProtocolError);
  CHECK_EQ(f.message(), std::string("bad client connection preface"));
}
