// The parts of the HTTP/1 connection states that do not depend on the host.
#include "h1/conn.hpp"

namespace quillon::h1 {

ServerRequest request_from_head(const RequestHead& head, bool body_complete) {
  ServerRequest r;
  r.expect_continue = head.expect_continue;
  r.http10 = head.http10;
  // A request framed by both content-length and transfer-encoding may have
  // been framed differently by whoever let it through: answer it, then close.
  r.keep_alive = head.keep_alive && !head.framing_conflict;
  r.connect = head.method == Method::Connect;
  r.upgrade_asked = head.is_upgrade && !r.connect;
  r.response_done = false;
  r.body = body_complete ? ServerRequest::Body::Complete : ServerRequest::Body::Unread;
  return r;
}

}  // namespace quillon::h1
