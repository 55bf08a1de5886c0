// The whole-file check of a transfer. SHA-256 is what every peer reads;
// XXH3-128 costs a tenth of it and is enough here, since TLS already guards
// each hop and the check only has to catch a file damaged on its way to or
// from the disk. The source names what it can make, the sink picks one, and a
// peer that names nothing keeps SHA-256.
#pragma once

#include "wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

namespace vantrel {

enum class SumKind { Sha256, Xxh3 };

// "sha-256" or "xxh3-128": the name in transfer frames and the label of a
// digest in the local-network route's trailers.
QByteArray sumName(SumKind kind);
std::optional<SumKind> sumKindNamed(QByteArrayView name);
// Bytes of a digest of this kind.
qsizetype sumBytes(SumKind kind);

// The source's offer: the checks it can make besides SHA-256.
void offerSums(Json& offer);
// The sink's pick from an offer, and how it says so in its answer.
SumKind pickSum(const Json& offer);
void tellSum(Json& answer, SumKind kind);
// What the sink's answer picked (SHA-256 when it names nothing known).
SumKind toldSum(const Json& answer);

// Incremental check of one kind; hex() once at the end (lower case).
class FileSum {
 public:
  explicit FileSum(SumKind kind);
  ~FileSum();
  FileSum(const FileSum&) = delete;
  FileSum& operator=(const FileSum&) = delete;
  void add(QByteArrayView bytes);
  QString hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel
