// Request heads whose body framing is unclear, for the servers that must
// answer them 400 and read nothing after them: the fields that follow the
// request line and the body bytes that the sender means to go with them.
#pragma once

#include <QByteArray>

#include <utility>
#include <vector>

namespace testutil {

inline std::vector<std::pair<QByteArray, QByteArray>> unclearFramings() {
  const QByteArray end = "0\r\n\r\n";
  return {
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", end},
      {"Transfer-Encoding: chunked\r\nContent-Length: 0\r\n", end},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", {}},
      {"Content-Length: 5, 6\r\n", {}},
      {"Content-Length: 5,5\r\n", {}},
      {"Content-Length: +5\r\n", {}},
      {"Content-Length: -1\r\n", {}},
      {"Content-Length: 0x5\r\n", {}},
      {"Content-Length: 5 5\r\n", {}},
      {"Transfer-Encoding: gzip, chunked\r\n", end},
      {"Transfer-Encoding: chunked, chunked\r\n", end},
      {"Transfer-Encoding: identity\r\n", {}},
  };
}

}  // namespace testutil
