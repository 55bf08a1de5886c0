#pragma once
// File bytes between two bridges travel as binary WebSocket messages: a small
// header and the raw bytes, never JSON or base64. The relay reads only the
// session from the header to route the message and forwards it unchanged.
// Control frames stay JSON text.
//
// Layout (integers big-endian):
//   u8  version        (kDataFrameVersion)
//   u8  kind           (kDataFrameKindFile)
//   u16 session size S, then S bytes: the relay session ("caller|host")
//   u8  transfer size T, then T bytes: the transfer id
//   u32 file index     (entry of the transfer's manifest)
//   u64 offset         (of the payload within that file)
//   u32 payload size N, then exactly N bytes of payload
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <optional>

namespace protocol {

inline constexpr quint8 kDataFrameVersion = 1;
inline constexpr quint8 kDataFrameKindFile = 1;
// Largest payload a reader accepts; writers choose their chunk size below it.
inline constexpr quint32 kMaxDataFramePayload = 8u * 1024 * 1024;
inline constexpr int kMaxDataFrameSession = 1024;

struct DataFrameHeader {
    QByteArray session;
    QByteArray transfer;  // at most 255 bytes
    quint32 file = 0;
    quint64 offset = 0;
};

struct DataFrame {
    DataFrameHeader header;
    QByteArrayView payload;  // points into the frame it was read from
};

// The whole message: header then payload. Returns an empty array when the
// session or transfer id is too long or the payload too large.
QByteArray encodeDataFrame(const DataFrameHeader& header, QByteArrayView payload);
// The header alone, for a writer that sends the payload right after it
// without copying the two together (`reserve`: room kept for more bytes).
QByteArray encodeDataFrameHead(const DataFrameHeader& header, qsizetype payloadSize, qsizetype reserve = 0);

// Reads a whole message; std::nullopt for anything malformed (unknown version
// or kind, sizes past the limits or the end, trailing bytes).
std::optional<DataFrame> decodeDataFrame(QByteArrayView message);

// The session alone, for routing: checks the version, kind and session size.
std::optional<QByteArrayView> dataFrameSession(QByteArrayView message);

}  // namespace protocol
