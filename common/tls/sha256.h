// A streaming SHA-256 on the OpenSSL library (which uses the processor's SHA
// instructions where they exist; several times faster than a portable one on
// file-sized inputs).
#pragma once

#include <QByteArray>

#include <memory>

namespace ztls {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  void add(const char* data, qint64 size);
  void add(const QByteArray& data) { add(data.constData(), data.size()); }
  // The 32-byte digest; the hasher starts over afterwards.
  QByteArray result();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ztls
