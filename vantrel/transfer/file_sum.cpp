#include "file_sum.h"

#include <openssl/evp.h>
#include <xxhash.h>

namespace vantrel {

namespace {
constexpr char kSha256Name[] = "sha-256";
constexpr char kXxh3Name[] = "xxh3-128";
}  // namespace

QByteArray sumName(SumKind kind) { return kind == SumKind::Xxh3 ? kXxh3Name : kSha256Name; }

std::optional<SumKind> sumKindNamed(QByteArrayView name) {
  if (name == kSha256Name) return SumKind::Sha256;
  if (name == kXxh3Name) return SumKind::Xxh3;
  return std::nullopt;
}

qsizetype sumBytes(SumKind kind) { return kind == SumKind::Xxh3 ? 16 : 32; }

void offerSums(Json& offer) { offer["sums"] = Json::array({kXxh3Name}); }

SumKind pickSum(const Json& offer) {
  const Json sums = valueOf(offer, "sums");
  if (sums.is_array())
    for (const Json& name : sums)
      if (name.is_string() && name.get<std::string>() == kXxh3Name) return SumKind::Xxh3;
  return SumKind::Sha256;
}

void tellSum(Json& answer, SumKind kind) {
  if (kind != SumKind::Sha256) answer["sum"] = sumName(kind).toStdString();
}

SumKind toldSum(const Json& answer) {
  return sumKindNamed(textOf(answer, "sum").toLatin1()).value_or(SumKind::Sha256);
}

struct FileSum::State {
  SumKind kind;
  EVP_MD_CTX* sha = nullptr;
  XXH3_state_t* xxh = nullptr;
};

FileSum::FileSum(SumKind kind) : state_(std::make_unique<State>()) {
  state_->kind = kind;
  if (kind == SumKind::Xxh3) {
    state_->xxh = XXH3_createState();
    XXH3_128bits_reset(state_->xxh);
  } else {
    state_->sha = EVP_MD_CTX_new();
    EVP_DigestInit_ex(state_->sha, EVP_sha256(), nullptr);
  }
}

FileSum::~FileSum() {
  EVP_MD_CTX_free(state_->sha);
  XXH3_freeState(state_->xxh);
}

void FileSum::add(QByteArrayView bytes) {
  if (state_->xxh) XXH3_128bits_update(state_->xxh, bytes.data(), size_t(bytes.size()));
  else EVP_DigestUpdate(state_->sha, bytes.data(), size_t(bytes.size()));
}

QString FileSum::hex() {
  QByteArray digest;
  if (state_->xxh) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_->xxh));
    digest = QByteArray(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest);
  } else {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(state_->sha, bytes, &size);
    digest = QByteArray(reinterpret_cast<const char*>(bytes), int(size));
  }
  return QString::fromLatin1(digest.toHex());
}

}  // namespace vantrel
