#include "common/tls/sha256.h"

#include <openssl/evp.h>

namespace ztls {

struct Sha256::State {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr); }
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::add(const char* data, qint64 size) {
  if (size > 0) EVP_DigestUpdate(state_->ctx, data, size_t(size));
}

QByteArray Sha256::result() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->ctx, digest, &length);
  EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr);
  return QByteArray(reinterpret_cast<const char*>(digest), int(length));
}

}  // namespace ztls
