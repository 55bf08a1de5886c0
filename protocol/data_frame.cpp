#include "protocol/data_frame.h"

#include <QtEndian>

namespace protocol {
namespace {

constexpr qsizetype kFixedAfterTransfer = 4 + 8 + 4;  // file, offset, payload size

class Reader {
public:
    explicit Reader(QByteArrayView bytes) : bytes_(bytes) {}
    bool has(qsizetype n) const { return n >= 0 && bytes_.size() - pos_ >= n; }
    template <typename T> T read() {
        T v = qFromBigEndian<T>(bytes_.data() + pos_);
        pos_ += qsizetype(sizeof(T));
        return v;
    }
    QByteArrayView take(qsizetype n) {
        QByteArrayView v = bytes_.sliced(pos_, n);
        pos_ += n;
        return v;
    }
    qsizetype left() const { return bytes_.size() - pos_; }

private:
    QByteArrayView bytes_;
    qsizetype pos_ = 0;
};

template <typename T> void append(QByteArray& out, T v) {
    char buf[sizeof(T)];
    qToBigEndian<T>(v, buf);
    out.append(buf, qsizetype(sizeof(T)));
}

// Version, kind and session: the part the relay needs.
std::optional<QByteArrayView> readSession(Reader& in) {
    if (!in.has(4) || in.read<quint8>() != kDataFrameVersion || in.read<quint8>() != kDataFrameKindFile)
        return std::nullopt;
    const quint16 size = in.read<quint16>();
    if (size == 0 || size > kMaxDataFrameSession || !in.has(size)) return std::nullopt;
    return in.take(size);
}

}  // namespace

QByteArray encodeDataFrameHead(const DataFrameHeader& header, qsizetype payloadSize, qsizetype reserve) {
    if (header.session.isEmpty() || header.session.size() > kMaxDataFrameSession ||
        header.transfer.size() > 255 || payloadSize < 0 || payloadSize > qsizetype(kMaxDataFramePayload))
        return {};
    QByteArray out;
    out.reserve(4 + header.session.size() + 1 + header.transfer.size() + kFixedAfterTransfer + reserve);
    append<quint8>(out, kDataFrameVersion);
    append<quint8>(out, kDataFrameKindFile);
    append<quint16>(out, quint16(header.session.size()));
    out.append(header.session);
    append<quint8>(out, quint8(header.transfer.size()));
    out.append(header.transfer);
    append<quint32>(out, header.file);
    append<quint64>(out, header.offset);
    append<quint32>(out, quint32(payloadSize));
    return out;
}

QByteArray encodeDataFrame(const DataFrameHeader& header, QByteArrayView payload) {
    QByteArray out = encodeDataFrameHead(header, payload.size(), payload.size());
    if (!out.isEmpty()) out.append(payload.data(), payload.size());
    return out;
}

std::optional<DataFrame> decodeDataFrame(QByteArrayView message) {
    Reader in(message);
    const auto session = readSession(in);
    if (!session || !in.has(1)) return std::nullopt;
    DataFrame frame;
    frame.header.session = session->toByteArray();
    const quint8 transferSize = in.read<quint8>();
    if (!in.has(transferSize)) return std::nullopt;
    frame.header.transfer = in.take(transferSize).toByteArray();
    if (!in.has(kFixedAfterTransfer)) return std::nullopt;
    frame.header.file = in.read<quint32>();
    frame.header.offset = in.read<quint64>();
    const quint32 size = in.read<quint32>();
    if (size > kMaxDataFramePayload || in.left() != qsizetype(size)) return std::nullopt;
    frame.payload = in.take(size);
    return frame;
}

std::optional<QByteArrayView> dataFrameSession(QByteArrayView message) {
    Reader in(message);
    return readSession(in);
}

void appendPackedFile(QByteArray& payload, quint32 file, QByteArrayView digest, QByteArrayView bytes) {
    append<quint32>(payload, file);
    append<quint32>(payload, quint32(bytes.size()));
    payload.append(digest.data(), digest.size());
    payload.append(bytes.data(), bytes.size());
}

std::optional<std::vector<PackedFile>> decodePackedFiles(QByteArrayView payload, quint64 count, qsizetype digestBytes) {
    if (count == 0 || count > kMaxPackedFiles || digestBytes < 0) return std::nullopt;
    Reader in(payload);
    std::vector<PackedFile> files;
    files.reserve(size_t(count));
    for (quint64 i = 0; i < count; ++i) {
        if (!in.has(8 + digestBytes)) return std::nullopt;
        PackedFile f;
        f.file = in.read<quint32>();
        const quint32 size = in.read<quint32>();
        f.digest = in.take(digestBytes);
        if (!in.has(qsizetype(size))) return std::nullopt;
        f.bytes = in.take(size);
        files.push_back(f);
    }
    if (in.left() != 0) return std::nullopt;
    return files;
}

}  // namespace protocol
