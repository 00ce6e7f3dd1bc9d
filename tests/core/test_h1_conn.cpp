// The HTTP/1 connection states' ownership contract, which the interpreter
// cannot see: inside a step no reference is released (what the state drops
// goes to bury() and is released after the step), a refused reference comes
// back to its caller, and clear() leaves nothing held. The behaviour the
// drivers see is tested through the module.
#include <string>

#include "check.hpp"
#include "h1_conn_host.hpp"

using namespace quillon::h1;
using h1host::Ref;
using h1host::World;

namespace {

int refs(const Ref& r) { return World::get().refs[r.id()]; }

template <class Core, class H, class F>
decltype(auto) run(Core& c, H& h, F&& f) {
  World::get().released_in_step = 0;
  struct Check {
    ~Check() { CHECK_EQ(World::get().released_in_step, 0); }
  } check;
  return h1host::step(c, h, std::forward<F>(f));
}

}  // namespace

TEST_CASE("h1 client state: replaced and refused references are buried or handed back, never dropped") {
  World::get().reset();
  using Core = ClientConn<h1host::Host>;
  h1host::Host host;
  const Ref transport = Ref::make(), first_writer = Ref::make(), second_writer = Ref::make();
  const Ref first_error = Ref::make(), second_error = Ref::make(), done = Ref::make();
  const Ref first_read = Ref::make_bytes("a"), second_read = Ref::make_bytes("b");
  {
    Core c(transport);
    run(c, host, [](Core& c, auto&) { return c.exchange(Core::ExchangeEvent::Begin); });
    run(c, host, [&](Core& c, auto& h) { return c.store_writer(first_writer, h); });
    run(c, host, [&](Core& c, auto& h) { return c.store_writer(second_writer, h); });
    CHECK(refs(first_writer) == 1 && refs(second_writer) == 2);  // the replaced one is released

    CHECK(run(c, host, [&](Core& c, auto& h) { return c.arm_watcher(done, h); }));
    CHECK(!run(c, host, [&](Core& c, auto& h) { return c.arm_watcher(done, h); }));  // one per idle period
    run(c, host, [](Core& c, auto&) { return c.exchange(Core::ExchangeEvent::Start); });
    // A second read result replaces the first: both were read by the
    // started exchange's watcher, only the last one is kept.
    for (const Ref* read : {&first_read, &second_read})
      CHECK(run(c, host, [&](Core& c, auto& h) { return c.watcher_completed(*read, Ref(), h); }).first ==
            Watch::Handoff);
    CHECK(refs(first_read) == 1 && refs(second_read) == 2);
    auto [data, error] = run(c, host, [](Core& c, auto& h) { return c.take_watcher_result(h); });
    CHECK(data == second_read && !error);

    CHECK(run(c, host, [&](Core& c, auto& h) { return c.fail(first_error, h); }) == transport);
    CHECK(run(c, host, [&](Core& c, auto& h) { return c.fail(second_error, h); }) == Ref());
    CHECK(c.error() == first_error && refs(second_error) == 1);  // the first error stands
    // Once closed, a writer scope is refused back to its caller.
    CHECK(run(c, host, [&](Core& c, auto& h) { return c.store_writer(first_writer, h); }) == first_writer);
    CHECK(!run(c, host, [&](Core& c, auto& h) { return c.arm_watcher(Ref::make(), h); }));

    run(c, host, [](Core& c, auto& h) { c.clear(h); });
    CHECK(h1host::held(c).empty());
  }
  for (const Ref* r : {&transport, &second_writer, &first_error, &done, &second_read}) CHECK_EQ(refs(*r), 1);
}

TEST_CASE("h1 server state: decoders, done events and watcher reads are buried as requests come and go") {
  World::get().reset();
  using Core = ServerConn<h1host::ServerHost>;
  h1host::ServerHost host;
  const Ref transport = Ref::make();
  const Ref first_dec = Ref::make_decoder(), second_dec = Ref::make_decoder();
  const Ref unarmed_done = Ref::make(), watcher_done = Ref::make(), read = Ref::make_bytes("GET /2 HTTP/1.1\r\nhost: h\r\n");
  {
    Core c(transport, true, false);
    RequestHead head;
    auto accept = [&](std::string_view bytes, const Ref& dec) {
      return run(c, host, [&](Core& c, auto& h) { return c.accept_head(bytes, dec, head, h); });
    };
    const uint64_t seq = accept("POST /1 HTTP/1.1\r\nhost: h\r\ncontent-length: 2\r\n\r\nhi", first_dec).seq;
    CHECK(c.current_decoder() == first_dec);
    CHECK_EQ(refs(first_dec), 2);
    CHECK(run(c, host, [&](Core& c, auto&) { return c.begin_body_read(seq); }));
    std::string_view piece;
    CHECK(h1host::ServerHost::decoder(first_dec).decode(piece) == BodyDecoder::Status::Data && piece == "hi");
    run(c, host, [&](Core& c, auto&) { c.end_body_read(seq, true); });
    std::string out;
    // Nobody wants the watcher: its done event is buried, not stored.
    CHECK(run(c, host, [&](Core& c, auto& h) {
            return c.respond_head(seq, 200, {}, BodyLength::known(1), false, unarmed_done, out, h);
          }).code == Req::Ok);
    CHECK(refs(unarmed_done) == 1);
    CHECK(run(c, host, [&](Core& c, auto& h) { return c.arm_watcher(seq, watcher_done, true, false, h); }));
    CHECK(run(c, host, [&](Core& c, auto& h) { return c.watcher_completed(read, Ref(), h); }) == false);
    run(c, host, [&](Core& c, auto& h) { return c.finish_response(seq, h); });
    // The next head is read from the watcher's bytes, once they are taken.
    CHECK(run(c, host, [](Core& c, auto& h) { return c.begin_read(h); }).code == Next::ReadWatcher);
    auto [data, error] = run(c, host, [](Core& c, auto& h) { return c.take_watcher_result(h); });
    CHECK(data == read && !error);
    run(c, host, [](Core& c, auto& h) { return c.take_watcher_handle(h); });
    CHECK(refs(watcher_done) == 1);  // the slot is freed with its done event
    CHECK(accept(h1host::Host::bytes(data), second_dec).status == HeadStatus::Incomplete);
    CHECK(accept("\r\n", second_dec).seq == seq + 1 && head.target.view() == "/2");
    CHECK(refs(first_dec) == 1 && c.current_decoder() == second_dec);

    run(c, host, [](Core& c, auto& h) { c.clear(h); });
    CHECK(h1host::held(c).empty());
  }
  for (const Ref* r : {&transport, &first_dec, &second_dec, &watcher_done, &read}) CHECK_EQ(refs(*r), 1);
}
